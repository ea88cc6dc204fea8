#include "input/input-file.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "common/fatal-error.h"
#include "common/file-io.h"
#include "input/progress-meter.h"
#include "input/temp-file.h"

namespace tracemint {
namespace {

// Filesystems whose files are made up when read: the size stat gives is 0 or a
// page whatever the content is.
constexpr unsigned long pseudoFilesystems[] = {
    PROC_SUPER_MAGIC, SYSFS_MAGIC,    DEBUGFS_MAGIC,  TRACEFS_MAGIC,
    SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, 0x62656570 /* configfs */,
    PSTOREFS_MAGIC,   EFIVARFS_MAGIC, BPF_FS_MAGIC,
};

constexpr size_t spoolPiece = 1 << 20;

[[noreturn]] void openFailure(const std::string& name, int error) {
    const std::string reason = std::strerror(error);
    if (error == ENOENT) {
        throw FatalError("Error: Input file " + name + " not found: " + reason, exitFailure);
    }
    throw FatalError("Error: Failed to open infile " + name + ": " + reason, exitFailure);
}

}  // namespace

std::string changedWhileReadText(const std::string& name, uint64_t got, uint64_t expected) {
    return "Error: " + name + ": changed while being read (got " + std::to_string(got) + " of " +
           std::to_string(expected) + " bytes)";
}

void openInputFile(InputFile& input, struct stat& st, const std::string& path) {
    int fd = -1;
    std::string name = path;
    if (path == "-") {
        name = standardInputName;
        fd = retryInterrupted([] { return ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0); });
    } else {
        fd = retryInterrupted([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    }
    if (fd < 0) openFailure(name, errno);
    // From here on the open file is what counts, whatever happens to the path.
    if (retryInterrupted([&] { return ::fstat(fd, &st); }) != 0) {
        int error = errno;
        ::close(fd);
        openFailure(name, error);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw FatalError("Error: " + name + ": Input has to be a file, not a directory",
                         exitFailure);
    }
    input.fd = fd;
    input.name = name;
    input.size = static_cast<uint64_t>(st.st_size);
}

bool readsLikeAPipe(int fd, const struct stat& st) {
    if (!S_ISREG(st.st_mode) || st.st_size == 0) return true;
    struct statfs fs {};
    if (retryInterrupted([&] { return ::fstatfs(fd, &fs); }) != 0) return false;
    for (unsigned long magic : pseudoFilesystems) {
        if (static_cast<unsigned long>(fs.f_type) == magic) return true;
    }
    return false;
}

void spoolInput(InputFile& input, const std::string& directory, ProgressMeter& meter) {
    std::vector<uint8_t> buffer(spoolPiece);
    int tmp = -1;
    uint64_t total = 0;
    try {
        for (;;) {
            ssize_t k = retryInterrupted([&] { return ::read(input.fd, buffer.data(), buffer.size()); });
            if (k < 0) throw FatalError(systemErrorText(input.name, errno), exitFailure);
            if (k == 0) break;
            if (tmp < 0) tmp = createPrivateTempFile(directory, "the input " + input.name);
            if (!writeAll(tmp, Bytes(buffer.data(), static_cast<size_t>(k)))) {
                throw FatalError("Error: temporary copy of " + input.name + ": " +
                                     std::strerror(errno),
                                 exitFailure);
            }
            total += static_cast<uint64_t>(k);
            // Short inputs are done before a line would help.
            if (total >= progressMinimumInput) updateProgress(meter, total);
        }
    } catch (...) {
        if (tmp >= 0) ::close(tmp);
        clearProgress(meter);
        throw;
    }
    clearProgress(meter);
    input.size = total;
    if (tmp < 0) return;  // empty: the original reads as empty too
    ::close(input.fd);
    input.fd = tmp;
}

}  // namespace tracemint
