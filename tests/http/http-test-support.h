#pragma once

// Helpers of the HTTP tests: an input file on disk, test data, and decoders of
// the transfer and content codings written independently of the code under test,
// so a body is checked by what a receiver would make of it.

#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/block-reader.h"

namespace tracemint::testing {

// A regular file in the temporary directory holding the given bytes, open for
// reading, described as the run's input.
struct TempInput {
    InputFile file;
    std::string path;

    explicit TempInput(const std::vector<uint8_t>& bytes) {
        char name[] = "/tmp/tracemint-input-XXXXXX";
        int fd = ::mkstemp(name);
        path = name;
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t k = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (k <= 0) std::abort();
            done += static_cast<size_t>(k);
        }
        file.fd = fd;
        file.size = bytes.size();
        file.name = path;
    }
    ~TempInput() {
        ::close(file.fd);
        ::unlink(path.c_str());
    }
    TempInput(const TempInput&) = delete;
    TempInput& operator=(const TempInput&) = delete;
};

// Bytes that deflate cannot shrink (a linear congruential generator).
inline std::vector<uint8_t> noiseBytes(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed;
    for (auto& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

// Text-like bytes with long repeats, which deflate shrinks a lot.
inline std::vector<uint8_t> textBytes(size_t n) {
    static constexpr std::string_view line = "The quick brown fox jumps over the lazy dog ";
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(line[i % line.size()]);
        if (i % 997 == 0) out[i] = static_cast<uint8_t>('0' + (i / 997) % 10);
    }
    return out;
}

inline std::vector<uint8_t> toBytes(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Decodes a chunked body (RFC 9112 section 7.1) as this tool writes it: sizes in
// lower-case hex without leading zeros, no chunk extensions, no trailer fields.
// The input must end exactly after the last chunk's empty line; anything else
// gives no result.
inline std::optional<std::vector<uint8_t>> decodeChunked(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> body;
    size_t pos = 0;
    for (;;) {
        size_t start = pos;
        uint64_t size = 0;
        while (pos < in.size() &&
               ((in[pos] >= '0' && in[pos] <= '9') || (in[pos] >= 'a' && in[pos] <= 'f'))) {
            int digit = in[pos] <= '9' ? in[pos] - '0' : in[pos] - 'a' + 10;
            size = size * 16 + static_cast<uint64_t>(digit);
            ++pos;
        }
        size_t digits = pos - start;
        if (digits == 0 || digits > 16) return std::nullopt;
        if (digits > 1 && in[start] == '0') return std::nullopt;
        if (pos + 2 > in.size() || in[pos] != '\r' || in[pos + 1] != '\n') return std::nullopt;
        pos += 2;
        if (size == 0) break;
        if (in.size() - pos < size + 2) return std::nullopt;
        body.insert(body.end(), in.begin() + static_cast<long>(pos),
                    in.begin() + static_cast<long>(pos + size));
        pos += size;
        if (in[pos] != '\r' || in[pos + 1] != '\n') return std::nullopt;
        pos += 2;
    }
    // No trailer fields: the empty line follows the last chunk at once.
    if (in.size() - pos != 2 || in[pos] != '\r' || in[pos + 1] != '\n') return std::nullopt;
    return body;
}

// Decompresses exactly one gzip member (RFC 1952) with zlib, which checks the
// header, the CRC-32 and ISIZE. Bytes after the member give no result.
inline std::optional<std::vector<uint8_t>> gunzip(const std::vector<uint8_t>& in) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    std::vector<uint8_t> out;
    std::vector<uint8_t> buffer(1 << 16);
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    int ret = Z_OK;
    // Z_BUF_ERROR (no progress: the input ran out early) ends the loop too.
    while (ret == Z_OK) {
        stream.next_out = buffer.data();
        stream.avail_out = static_cast<uInt>(buffer.size());
        ret = inflate(&stream, Z_NO_FLUSH);
        out.insert(out.end(), buffer.data(), buffer.data() + (buffer.size() - stream.avail_out));
    }
    bool complete = ret == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!complete) return std::nullopt;
    return out;
}

}  // namespace tracemint::testing
