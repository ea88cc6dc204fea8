#include "http/http-gzip.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/byte-order.h"
#include "common/fatal-error.h"
#include "common/file-io.h"
#include "http/chunked.h"
#include "input/block-reader.h"
#include "input/temp-file.h"
#include "tcp/tcp-session.h"

namespace tracemint {
namespace {

constexpr size_t deflateOutputSize = 1 << 16;

void writeTemp(int fd, const uint8_t* p, size_t n) {
    if (!writeAll(fd, Bytes(p, n))) {
        throw FatalError(
            "Error: temporary file of the gzip body: " + std::string(std::strerror(errno)),
            exitFailure);
    }
}

// The working memory ISA-L's deflate wants beside its stream for a level (the
// sizes it is tuned for; level 0 needs none).
uint32_t levelBufferSize(int level) {
    switch (level) {
        case 1: return ISAL_DEF_LVL1_DEFAULT;
        case 2: return ISAL_DEF_LVL2_DEFAULT;
        case 3: return ISAL_DEF_LVL3_DEFAULT;
        default: return ISAL_DEF_LVL0_DEFAULT;
    }
}

}  // namespace

void compressGzip(const Transfer& file, GzipBody& body) {
    if (body.fd >= 0) return;
    const int level = file.settings->gzipLevel;
    if (level < gzipMinLevel || level > gzipMaxLevel) {
        throw FatalError("Error: gzip level " + std::to_string(level) + " is not 0 to 3",
                         exitFailure);
    }
    body.fd = createPrivateTempFile(body.tempDirectory, "the gzip body");

    // ISA-L's deflate: one raw deflate stream (the gzip header and trailer are
    // sent by the exchange), written to the temporary file as it comes.
    isal_zstream stream;
    isal_deflate_init(&stream);
    std::vector<uint8_t> levelBuffer(levelBufferSize(level));
    stream.level = static_cast<uint32_t>(level);
    stream.level_buf = levelBuffer.empty() ? nullptr : levelBuffer.data();
    stream.level_buf_size = static_cast<uint32_t>(levelBuffer.size());
    stream.gzip_flag = IGZIP_DEFLATE;
    stream.flush = NO_FLUSH;

    std::vector<uint8_t> out(deflateOutputSize);
    BlockReader reader = openBlockReader(file);
    uint32_t crc = 0;
    uint64_t total = 0;
    uint64_t written = 0;
    do {
        Bytes in = nextBlock(reader, blockReaderBufferSize);
        crc = crc32_gzip_refl(crc, in.data(), in.size());
        total += in.size();
        // The library reads through a pointer to non-const but never writes there.
        stream.next_in = const_cast<uint8_t*>(in.data());
        stream.avail_in = static_cast<uint32_t>(in.size());
        stream.end_of_stream = in.empty() ? 1 : 0;
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<uint32_t>(out.size());
            if (isal_deflate(&stream) != COMP_OK) {
                throw FatalError("Error: deflate failed", exitFailure);
            }
            size_t produced = out.size() - stream.avail_out;
            writeTemp(body.fd, out.data(), produced);
            written += produced;
        } while (stream.avail_out == 0 || stream.avail_in > 0);
    } while (stream.internal_state.state != ZSTATE_END);

    body.tmpSize = written;
    body.crc = crc;
    body.inputSize = total;
}

void releaseGzipBody(GzipBody& body) {
    if (body.fd >= 0) ::close(body.fd);
    std::string directory = std::move(body.tempDirectory);
    body = GzipBody{};
    body.tempDirectory = std::move(directory);
}

std::array<uint8_t, 8> gzipTrailer(uint32_t crc, uint64_t inputSize) {
    std::array<uint8_t, 8> trailer{};
    putLe32(&trailer[0], crc);
    putLe32(&trailer[4], static_cast<uint32_t>(inputSize));  // ISIZE is the size modulo 2^32
    return trailer;
}

void sendGzipTrailer(TcpSession& conn, const GzipBody& body, bool chunked) {
    auto trailer = gzipTrailer(body.crc, body.inputSize);
    if (chunked) {
        sendChunked(conn, trailer, toClient);
        sendChunked(conn, {}, toClient);
    } else {
        sendData(conn, trailer, toClient);
    }
}

}  // namespace tracemint
