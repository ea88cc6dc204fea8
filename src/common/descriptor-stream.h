#pragma once

#include <streambuf>

namespace tracemint {

// A stream buffer that writes to a file descriptor through writeAll: a write
// that a signal interrupts is repeated (C stdio would report it as a failure),
// and a failure leaves errno set for the caller's message. Text is gathered and
// written at each flush, or when the buffer is full.
struct DescriptorStreamBuffer : std::streambuf {
    explicit DescriptorStreamBuffer(int fd);
    ~DescriptorStreamBuffer() override;
    DescriptorStreamBuffer(const DescriptorStreamBuffer&) = delete;
    DescriptorStreamBuffer& operator=(const DescriptorStreamBuffer&) = delete;

  protected:
    int_type overflow(int_type c) override;
    int sync() override;

  private:
    bool drain();
    int fd_;
    char buffer_[4096];
};

}  // namespace tracemint
