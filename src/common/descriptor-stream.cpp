#include "common/descriptor-stream.h"

#include "common/byte-order.h"
#include "common/file-io.h"

namespace tracemint {

DescriptorStreamBuffer::DescriptorStreamBuffer(int fd) : fd_(fd) {
    setp(buffer_, buffer_ + sizeof buffer_);
}

DescriptorStreamBuffer::~DescriptorStreamBuffer() {
    drain();
}

bool DescriptorStreamBuffer::drain() {
    const auto n = static_cast<size_t>(pptr() - pbase());
    setp(buffer_, buffer_ + sizeof buffer_);
    return n == 0 || writeAll(fd_, Bytes(reinterpret_cast<const uint8_t*>(buffer_), n));
}

DescriptorStreamBuffer::int_type DescriptorStreamBuffer::overflow(int_type c) {
    if (!drain()) return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

int DescriptorStreamBuffer::sync() {
    return drain() ? 0 : -1;
}

}  // namespace tracemint
