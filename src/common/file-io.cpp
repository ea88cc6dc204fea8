#include "common/file-io.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "common/fatal-error.h"

namespace tracemint {

std::string systemErrorText(const std::string& name, int errorNumber) {
    return "Error: " + name + ": " + std::strerror(errorNumber);
}

bool writeAll(int fd, Bytes bytes) {
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    while (n > 0) {
        ssize_t k = ::write(fd, p, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (k == 0) {
            errno = EIO;
            return false;
        }
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

int closeFile(int fd) {
    if (::close(fd) == 0 || errno == EINTR) return 0;
    return -1;
}

}  // namespace tracemint
