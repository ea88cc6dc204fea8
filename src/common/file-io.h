#pragma once

#include "common/byte-order.h"

namespace tracemint {

// Writes every byte, retrying short writes and interrupted calls. On failure it
// returns false with errno set (EIO when the file takes no more bytes).
bool writeAll(int fd, Bytes bytes);

}  // namespace tracemint
