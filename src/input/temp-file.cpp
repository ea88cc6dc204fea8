#include "input/temp-file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/fatal-error.h"
#include "common/file-io.h"

namespace tracemint {

int createPrivateTempFile(const std::string& purpose) {
#ifdef O_TMPFILE
    int fd = ::open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // Some file systems cannot make unnamed files; fall back to a random name
    // that is removed at once.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        throw FatalError(
            "Error: Failed to create temporary file for " + purpose + ": " + std::strerror(errno),
            exitFailure);
    }
#endif
    char name[] = "./.tracemint-XXXXXX";
    int fallback = ::mkstemp(name);
    if (fallback < 0) {
        throw FatalError(
            "Error: Failed to create temporary file for " + purpose + ": " + std::strerror(errno),
            exitFailure);
    }
    ::unlink(name);
    return fallback;
}

int copyToPrivateTempFile(int fd, const std::string& name, uint64_t& copied) {
    int tmp = createPrivateTempFile("the input " + name);
    std::vector<uint8_t> buffer(1 << 20);
    uint64_t total = 0;
    for (;;) {
        ssize_t k = ::read(fd, buffer.data(), buffer.size());
        if (k < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(tmp);
            throw FatalError(systemErrorText(name, err), exitFailure);
        }
        if (k == 0) break;
        if (!writeAll(tmp, Bytes(buffer.data(), static_cast<size_t>(k)))) {
            int err = errno;
            ::close(tmp);
            throw FatalError("Error: temporary copy of " + name + ": " + std::strerror(err),
                             exitFailure);
        }
        total += static_cast<uint64_t>(k);
    }
    copied = total;
    return tmp;
}

}  // namespace tracemint
