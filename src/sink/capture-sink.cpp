#include "sink/capture-sink.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "common/fatal-error.h"
#include "common/file-io.h"
#include "sink/pending-files.h"

namespace tracemint {
namespace {

[[noreturn]] void openFailure(const std::string& name, int error) {
    throw FatalError("Error: Failed to open outfile " + name + ": " + std::strerror(error),
                     exitFailure);
}

// ".tracemint-" and eight letters, beside the name. The letters only need to
// differ between runs that start together; O_EXCL settles any collision.
std::string temporaryPathFor(const std::string& name, unsigned attempt) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t bits = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 30) ^
                    (static_cast<uint64_t>(::getpid()) << 17) ^ (uint64_t{attempt} * 0x9E3779B97F4A7C15u);
    std::string letters;
    for (int i = 0; i < 8; ++i) {
        letters += static_cast<char>('a' + bits % 26);
        bits /= 26;
    }
    size_t slash = name.rfind('/');
    std::string prefix = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
    return prefix + ".tracemint-" + letters;
}

// Gives the file that `make` creates at a path a fresh temporary name beside
// `name`, registered for removal should a signal end the run. Signals wait from
// the file's creation to its registration, so none can leave it behind. False,
// with errno, when no name could be taken.
template <typename Make>
bool takeTemporaryName(CaptureSink& sink, const std::string& name, Make make) {
    constexpr unsigned attempts = 100;
    for (unsigned attempt = 0; attempt < attempts; ++attempt) {
        std::string path = temporaryPathFor(name, attempt);
        TerminationSignalsBlocked blocked;
        if (make(path)) {
            sink.tempPath = path;
            sink.pendingSlot = registerPendingFile(path);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

void createTemporary(CaptureSink& sink) {
    const bool created = takeTemporaryName(sink, sink.name, [&](const std::string& path) {
        // 0666 as for any new file: the process's umask decides the rest.
        sink.fd = retryInterrupted(
            [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
        return sink.fd >= 0;
    });
    if (!created) openFailure(sink.name, errno);
}

void dropTemporary(CaptureSink& sink) noexcept {
    if (sink.tempPath.empty()) return;
    TerminationSignalsBlocked blocked;
    ::unlink(sink.tempPath.c_str());
    forgetPendingFile(sink.pendingSlot);
    sink.pendingSlot = -1;
    sink.tempPath.clear();
}

}  // namespace

SinkKind sinkKindOf(const std::string& name, int& error) {
    error = 0;
    if (name == "-") return SinkKind::standardOutput;
    struct stat target {};
    // Through any link: a link to a device is written through, like the device.
    if (retryInterrupted([&] { return ::stat(name.c_str(), &target); }) != 0) {
        if (errno != ENOENT) error = errno;
        return SinkKind::replaceName;
    }
    struct stat out {};
    if (::fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == target.st_dev &&
        out.st_ino == target.st_ino) {
        return SinkKind::standardOutput;
    }
    return S_ISREG(target.st_mode) ? SinkKind::replaceName : SinkKind::inPlace;
}

bool sinkIsStandardOutput(const std::string& name) {
    int error = 0;
    return sinkKindOf(name, error) == SinkKind::standardOutput;
}

bool hasOverlongComponent(const std::string& name) {
    std::string directory = !name.empty() && name[0] == '/' ? "/" : ".";
    size_t begin = 0;
    while (begin < name.size()) {
        size_t end = name.find('/', begin);
        if (end == std::string::npos) end = name.size();
        const size_t length = end - begin;
        if (length > 0) {
            long limit = ::pathconf(directory.c_str(), _PC_NAME_MAX);
            if (limit <= 0) limit = NAME_MAX;
            if (length > static_cast<size_t>(limit)) return true;
            directory += '/';
            directory.append(name, begin, length);
        }
        begin = end + 1;
    }
    return false;
}

std::string directoryOf(const std::string& name) {
    size_t slash = name.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return name.substr(0, slash);
}

void openSink(CaptureSink& sink, const std::string& name, size_t bufferSize) {
    discardSink(sink);
    int error = 0;
    sink.kind = sinkKindOf(name, error);
    if (error) openFailure(name, error);
    sink.name = name;
    switch (sink.kind) {
        case SinkKind::standardOutput: sink.fd = STDOUT_FILENO; break;
        case SinkKind::inPlace:
            sink.fd = retryInterrupted([&] {
                return ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            });
            if (sink.fd < 0) openFailure(name, errno);
            break;
        case SinkKind::replaceName: createTemporary(sink); break;
    }
    sink.buffer.assign(bufferSize, 0);
    sink.used = 0;
}

void flushSink(CaptureSink& sink) {
    if (sink.used == 0) return;
    size_t n = sink.used;
    sink.used = 0;
    if (!writeAll(sink.fd, Bytes(sink.buffer.data(), n))) {
        throw FatalError(systemErrorText(sink.name, errno), exitFailure);
    }
}

void makeSinkRoom(CaptureSink& sink, size_t n) {
    flushSink(sink);
    if (n > sink.buffer.size()) sink.buffer.resize(n);
}

void commitSink(CaptureSink& sink) {
    if (sink.fd < 0) return;
    flushSink(sink);
    int fd = sink.fd;
    sink.fd = -1;
    sink.buffer = {};
    if (sink.kind == SinkKind::standardOutput) return;
    if (closeFile(fd) != 0) throw FatalError(systemErrorText(sink.name, errno), exitFailure);
    if (sink.kind != SinkKind::replaceName) return;
    TerminationSignalsBlocked blocked;
    if (retryInterrupted([&] { return ::rename(sink.tempPath.c_str(), sink.name.c_str()); }) != 0) {
        throw FatalError(systemErrorText(sink.name, errno), exitFailure);
    }
    forgetPendingFile(sink.pendingSlot);
    sink.pendingSlot = -1;
    sink.tempPath.clear();
}

void discardSink(CaptureSink& sink) noexcept {
    if (sink.fd >= 0 && sink.kind != SinkKind::standardOutput) (void)closeFile(sink.fd);
    sink.fd = -1;
    sink.buffer = {};
    sink.used = 0;
    dropTemporary(sink);
}

int createUnnamedCapture(const std::string& directory) {
#ifdef O_TMPFILE
    // Without O_EXCL, so the file can be given a name when it is whole.
    return retryInterrupted(
        [&] { return ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666); });
#else
    (void)directory;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

bool adoptUnnamedCapture(CaptureSink& sink, const std::string& name, int fd) {
    int error = 0;
    if (sinkKindOf(name, error) != SinkKind::replaceName || error != 0) return false;
    // Linking a descriptor's file by its /proc entry needs no privilege, unlike
    // linkat's AT_EMPTY_PATH.
    const std::string source = "/proc/self/fd/" + std::to_string(fd);
    discardSink(sink);
    const bool linked = takeTemporaryName(sink, name, [&](const std::string& path) {
        return retryInterrupted([&] {
                   return ::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, path.c_str(),
                                   AT_SYMLINK_FOLLOW);
               }) == 0;
    });
    if (!linked) return false;
    sink.kind = SinkKind::replaceName;
    sink.name = name;
    sink.fd = fd;
    sink.buffer = {};
    sink.used = 0;
    return true;
}

}  // namespace tracemint
