#pragma once

#include <signal.h>

#include <string>

namespace tracemint {

// Names of files that exist only while a capture is being written. A run that
// is ended by SIGINT, SIGTERM or SIGHUP removes them before it dies, so an
// interrupted run leaves nothing that could be taken for a capture.
inline constexpr int pendingFileSlots = 4;

// Installs the removing handler for SIGINT, SIGTERM and SIGHUP (a signal the
// caller ignores, as nohup does, stays ignored). The handler unlinks every
// registered name and then dies of the same signal, so the exit status is
// 128 + the signal's number.
void removePendingFilesOnSignals();

// Registers a name; returns its slot, or -1 when every slot is taken (the name
// is then simply not removed by a signal). Callers hold the termination signals
// blocked across creating the file and registering it.
int registerPendingFile(const std::string& path);
void forgetPendingFile(int slot);

// Holds SIGINT, SIGTERM and SIGHUP back for its lifetime, so a file and its
// registration appear and disappear together.
struct TerminationSignalsBlocked {
    sigset_t previous;
    TerminationSignalsBlocked();
    ~TerminationSignalsBlocked();
    TerminationSignalsBlocked(const TerminationSignalsBlocked&) = delete;
    TerminationSignalsBlocked& operator=(const TerminationSignalsBlocked&) = delete;
};

}  // namespace tracemint
