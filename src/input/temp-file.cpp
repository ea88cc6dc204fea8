#include "input/temp-file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/fatal-error.h"
#include "common/file-io.h"

namespace tracemint {
namespace {

// The descriptor, or -1 with errno set.
int createIn(const std::string& directory) {
#ifdef O_TMPFILE
    int fd = retryInterrupted(
        [&] { return ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); });
    if (fd >= 0) return fd;
    // Some file systems cannot make unnamed files; fall back to a random name
    // that is removed at once.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
#endif
    std::string name = directory + "/.tracemint-XXXXXX";
    int fd2 = retryInterrupted([&] { return ::mkostemp(name.data(), O_CLOEXEC); });
    if (fd2 >= 0) ::unlink(name.c_str());
    return fd2;
}

}  // namespace

std::string fallbackTempDirectory() {
    const char* tmpdir = ::getenv("TMPDIR");
    return tmpdir && *tmpdir ? tmpdir : "/tmp";
}

int createPrivateTempFile(const std::string& directory, const std::string& purpose) {
    int fd = createIn(directory);
    if (fd >= 0) return fd;
    int first = errno;
    const std::string fallback = fallbackTempDirectory();
    if (fallback != directory) {
        fd = createIn(fallback);
        if (fd >= 0) return fd;
    }
    throw FatalError("Error: Failed to create temporary file for " + purpose + " in " +
                         directory + ": " + std::strerror(first),
                     exitFailure);
}

}  // namespace tracemint
