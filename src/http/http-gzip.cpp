#include "http/http-gzip.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "input/block-reader.h"
#include "common/byte-order.h"
#include "common/fatal-error.h"
#include "common/file-io.h"
#include "tcp/tcp-session.h"
#include "input/temp-file.h"
#include "http/chunked.h"
#include "http/crc32.h"

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

}  // namespace

void compressGzip(const Transfer& file, GzipBody& body) {
    if (body.fd >= 0) return;
    body.fd = createPrivateTempFile(body.tempDirectory, "the gzip body");

    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) {
        throw FatalError("Error: cannot initialise deflate", exitFailure);
    }
    std::vector<uint8_t> out(deflateOutputSize);
    BlockReader reader = openBlockReader(file);
    uint32_t crc = 0;
    uint64_t total = 0;
    uint64_t written = 0;
    int flush = Z_NO_FLUSH;
    try {
        do {
            Bytes in = nextBlock(reader, blockReaderBufferSize);
            flush = in.empty() ? Z_FINISH : Z_NO_FLUSH;
            crc = crc32Update(crc, in);
            total += in.size();
            stream.next_in = const_cast<Bytef*>(in.data());
            stream.avail_in = static_cast<uInt>(in.size());
            int ret;
            do {
                stream.next_out = out.data();
                stream.avail_out = static_cast<uInt>(out.size());
                ret = deflate(&stream, flush);
                if (ret == Z_STREAM_ERROR) throw FatalError("Error: deflate failed", exitFailure);
                size_t produced = out.size() - stream.avail_out;
                writeTemp(body.fd, out.data(), produced);
                written += produced;
            } while (stream.avail_out == 0);
            if (flush == Z_FINISH && ret != Z_STREAM_END) {
                throw FatalError("Error: deflate did not finish", exitFailure);
            }
        } while (flush != Z_FINISH);
    } catch (...) {
        deflateEnd(&stream);
        throw;
    }
    deflateEnd(&stream);
    // Drop the Adler-32 that ends the zlib stream: gzip has its own trailer.
    body.tmpSize = written - 4;
    if (retryInterrupted([&] { return ::ftruncate(body.fd, static_cast<off_t>(body.tmpSize)); }) != 0) {
        throw FatalError(
            "Error: Failed to truncate temporary file: " + std::string(std::strerror(errno)),
            exitFailure);
    }
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
