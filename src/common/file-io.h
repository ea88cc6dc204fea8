#pragma once

#include <cerrno>

#include "common/byte-order.h"

namespace tracemint {

// Writes every byte, retrying short writes and interrupted calls. On failure it
// returns false with errno set (EIO when the file takes no more bytes).
bool writeAll(int fd, Bytes bytes);

// Repeats a system call that a signal interrupted before it did anything (EINTR),
// so no caller reports an interruption as a failure.
template <typename Call>
auto retryInterrupted(Call call) {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

// Closes fd. On Linux the descriptor is gone even when close reports EINTR, so an
// interruption counts as success; other failures (a delayed write error) return
// -1 with errno set.
int closeFile(int fd);

}  // namespace tracemint
