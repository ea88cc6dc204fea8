#include "sink/pending-files.h"

#include <limits.h>
#include <unistd.h>

#include <cstring>

namespace tracemint {
namespace {

constexpr int terminationSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Plain storage the handler can read without locks: a slot's path is complete
// before its flag is set, and the flag is cleared before the path is reused.
char pendingPaths[pendingFileSlots][PATH_MAX];
volatile sig_atomic_t pendingUsed[pendingFileSlots];

void removePendingAndDie(int signalNumber) {
    for (int i = 0; i < pendingFileSlots; ++i) {
        if (pendingUsed[i]) ::unlink(pendingPaths[i]);
    }
    // The handler was reset to the default on entry (SA_RESETHAND); the signal
    // raised here is delivered as soon as the handler returns and ends the process.
    ::raise(signalNumber);
}

sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : terminationSignals) sigaddset(&set, s);
    return set;
}

}  // namespace

void removePendingFilesOnSignals() {
    for (int s : terminationSignals) {
        struct sigaction current {};
        if (::sigaction(s, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removePendingAndDie;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        ::sigaction(s, &action, nullptr);
    }
}

int registerPendingFile(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < pendingFileSlots; ++i) {
        if (pendingUsed[i]) continue;
        std::memcpy(pendingPaths[i], path.c_str(), path.size() + 1);
        pendingUsed[i] = 1;
        return i;
    }
    return -1;
}

void forgetPendingFile(int slot) {
    if (slot >= 0 && slot < pendingFileSlots) pendingUsed[slot] = 0;
}

TerminationSignalsBlocked::TerminationSignalsBlocked() {
    sigset_t set = terminationSet();
    ::sigprocmask(SIG_BLOCK, &set, &previous);
}

TerminationSignalsBlocked::~TerminationSignalsBlocked() {
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace tracemint
