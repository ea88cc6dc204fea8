#include "http/http-exchange.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "common/fatal-error.h"
#include "http/http-gzip.h"
#include "http/http-test-support.h"
#include "http/url-path.h"
#include "support/pcap-reader.h"

namespace tracemint {
namespace {

using testing::Record;
using Payload = std::vector<uint8_t>;

constexpr uint16_t serverPort = 80;
constexpr uint16_t clientPort = 40000;

// One whole exchange over a file: the input on disk, the gzip body slot and the
// capture it is written into.
struct Exchange {
    testing::TempInput input;
    testing::CaptureFixture f;
    std::vector<Record> records;

    Exchange(const std::vector<uint8_t>& bytes, uint8_t encoder, int blockSize = 1200,
             const std::string& name = "bin.dat")
        : input(bytes) {
        f.useInput(input.file, blockSize, name);
        f.settings.httpEncoder = encoder;
    }

    void get() {
        runHttpGetTransfer(f.conn, f.file);
        records = f.finish();
    }
    void post() {
        runHttpPostTransfer(f.conn, f.file);
        records = f.finish();
    }

    // The payloads one side sent, in order. Each must start where the previous
    // one ended in that side's sequence space, so the list is the byte stream.
    std::vector<Payload> payloadsFrom(uint16_t port) const {
        std::vector<Payload> out;
        std::optional<uint32_t> next;
        for (const auto& r : records) {
            if (r.srcPort() != port || r.payload().empty()) continue;
            if (next) {
                EXPECT_EQ(r.seq(), *next) << "gap or overlap in the stream";
            }
            next = r.seq() + static_cast<uint32_t>(r.payload().size());
            out.push_back(r.payload());
        }
        return out;
    }

    // The flags of the first segment after the last payload segment of a side.
    uint8_t flagsAfterLastPayload(uint16_t port) const {
        size_t last = 0;
        for (size_t i = 0; i < records.size(); ++i) {
            if (records[i].srcPort() == port && !records[i].payload().empty()) last = i;
        }
        for (size_t i = last + 1; i < records.size(); ++i) {
            if (records[i].srcPort() == port) return records[i].flags();
        }
        return 0;
    }
};

Payload concat(const std::vector<Payload>& pieces) {
    Payload out;
    for (const auto& p : pieces) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Payload bytesOf(const std::string& text) {
    return Payload(text.begin(), text.end());
}

Payload join(std::initializer_list<Payload> pieces) {
    return concat(pieces);
}

Payload chunk(const Payload& data) {
    char line[32];
    std::snprintf(line, sizeof line, "%zx\r\n", data.size());
    return join({bytesOf(line), data, bytesOf("\r\n")});
}

const Payload headerBytes(gzipHeader.begin(), gzipHeader.end());

Payload trailerOf(const Payload& input) {
    auto crc = static_cast<uint32_t>(::crc32(0, input.data(), static_cast<uInt>(input.size())));
    auto t = gzipTrailer(crc, input.size());
    return Payload(t.begin(), t.end());
}

std::optional<std::string> headerValue(const std::string& head, const std::string& field) {
    const std::string key = "\r\n" + field + ": ";
    size_t at = head.find(key);
    if (at == std::string::npos) return std::nullopt;
    at += key.size();
    return head.substr(at, head.find("\r\n", at) - at);
}

// What a client makes of the response stream: the head by its empty line, the
// body by its framing (Content-Length or chunked), then the content coding.
struct DecodedResponse {
    std::string head;
    std::optional<Payload> content;
};

DecodedResponse decodeResponse(const Payload& stream) {
    DecodedResponse out;
    const std::string text(stream.begin(), stream.end());
    size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return out;
    out.head = text.substr(0, end + 4);
    Payload body(stream.begin() + static_cast<long>(end + 4), stream.end());

    std::optional<Payload> framed;
    if (headerValue(out.head, "Transfer-Encoding") == "chunked") {
        framed = testing::decodeChunked(body);
    } else if (auto length = headerValue(out.head, "Content-Length")) {
        if (std::stoull(*length) == body.size()) framed = body;
    }
    if (framed && headerValue(out.head, "Content-Encoding") == "gzip") {
        out.content = testing::gunzip(*framed);
    } else {
        out.content = framed;
    }
    return out;
}

std::vector<size_t> sizesOf(const std::vector<Payload>& payloads, size_t from) {
    std::vector<size_t> sizes;
    for (size_t i = from; i < payloads.size(); ++i) sizes.push_back(payloads[i].size());
    return sizes;
}

TEST(HttpGet, PlainBodyGoesOutInBlocksFromTheServer) {
    const Payload file = testing::noiseBytes(2500);
    Exchange x(file, httpPlain, 1200, "/srv/bin.dat");
    x.get();

    auto client = x.payloadsFrom(clientPort);
    ASSERT_EQ(client.size(), 1u) << "the client sends only the request";
    EXPECT_EQ(client[0], bytesOf(getRequestText("srv%2fbin%2edat")));

    auto server = x.payloadsFrom(serverPort);
    ASSERT_EQ(server.size(), 4u);
    EXPECT_EQ(server[0], bytesOf(responseHeadText(httpPlain, 2500)));
    EXPECT_EQ(sizesOf(server, 1), (std::vector<size_t>{1200, 1200, 100}));
    EXPECT_EQ(concat({server[1], server[2], server[3]}), file);
    EXPECT_EQ(x.flagsAfterLastPayload(serverPort), tcpFinAck);
}

TEST(HttpGet, ChunkedBodyIsOneChunkPerBlock) {
    const Payload file = testing::noiseBytes(2500, 2);
    Exchange x(file, httpChunked);
    x.get();

    auto server = x.payloadsFrom(serverPort);
    ASSERT_EQ(server.size(), 5u);
    EXPECT_EQ(server[0], bytesOf(responseHeadText(httpChunked, 0)));
    EXPECT_EQ(server[1], chunk(Payload(file.begin(), file.begin() + 1200)));
    EXPECT_EQ(server[2], chunk(Payload(file.begin() + 1200, file.begin() + 2400)));
    EXPECT_EQ(server[3], chunk(Payload(file.begin() + 2400, file.end())));
    EXPECT_EQ(server[4], bytesOf("0\r\n\r\n"));
    EXPECT_EQ(std::string(server[1].begin(), server[1].begin() + 5), "4b0\r\n");
    EXPECT_EQ(std::string(server[3].begin(), server[3].begin() + 4), "64\r\n");
    EXPECT_EQ(x.flagsAfterLastPayload(serverPort), tcpFinAck);
}

TEST(HttpGet, GzipChunkedSendsHeaderDataAndTrailerAsChunks) {
    const Payload file = testing::noiseBytes(2500, 3);
    Exchange x(file, httpGzipChunked);
    x.get();

    auto server = x.payloadsFrom(serverPort);
    ASSERT_GE(server.size(), 5u);
    EXPECT_EQ(server[0], bytesOf(responseHeadText(httpGzipChunked, 0)));
    EXPECT_EQ(server[1], chunk(headerBytes));
    EXPECT_EQ(server[server.size() - 2], chunk(trailerOf(file)));
    EXPECT_EQ(server.back(), bytesOf("0\r\n\r\n"));
    // Between them the deflate data, a chunk of at most one block per segment.
    Payload deflated;
    for (size_t i = 2; i + 2 < server.size(); ++i) {
        auto data = testing::decodeChunked(join({server[i], bytesOf("0\r\n\r\n")}));
        ASSERT_TRUE(data.has_value()) << "segment " << i << " is not one whole chunk";
        EXPECT_GE(data->size(), 1u);
        EXPECT_LE(data->size(), 1200u);
        deflated.insert(deflated.end(), data->begin(), data->end());
    }
    auto content = testing::gunzip(join({headerBytes, deflated, trailerOf(file)}));
    ASSERT_TRUE(content.has_value());
    EXPECT_EQ(*content, file);
}

TEST(HttpGet, GzipSendsHeaderWithTheHeadAndTrailerLast) {
    const Payload file = testing::textBytes(50000);
    Exchange x(file, httpGzip, 1000);
    x.get();

    auto server = x.payloadsFrom(serverPort);
    ASSERT_GE(server.size(), 3u);
    // Content-Length counts the gzip header, the deflate data and the trailer.
    size_t bodyLength = headerBytes.size();
    for (size_t i = 1; i < server.size(); ++i) bodyLength += server[i].size();
    const std::string head = responseHeadText(httpGzip, bodyLength);
    EXPECT_EQ(server[0], join({bytesOf(head), headerBytes}));
    EXPECT_EQ(server.back(), trailerOf(file));
    for (size_t i = 1; i + 1 < server.size(); ++i) EXPECT_LE(server[i].size(), 1000u);
    EXPECT_EQ(x.flagsAfterLastPayload(serverPort), tcpFinAck);
}

// An empty file still gets a complete body in each encoding, and nothing more.
TEST(HttpGet, EmptyFileInEveryEncoding) {
    const Payload zeros(8, 0);
    const Payload emptyDeflate{0x03, 0x00};
    const struct {
        uint8_t encoder;
        std::vector<Payload> segments;
    } cases[] = {
        {httpPlain, {bytesOf(responseHeadText(httpPlain, 0))}},
        {httpGzip,
         {join({bytesOf(responseHeadText(httpGzip, 20)), headerBytes}), emptyDeflate, zeros}},
        {httpChunked, {bytesOf(responseHeadText(httpChunked, 0)), bytesOf("0\r\n\r\n")}},
        {httpGzipChunked,
         {bytesOf(responseHeadText(httpGzipChunked, 0)), chunk(headerBytes), chunk(emptyDeflate),
          chunk(zeros), bytesOf("0\r\n\r\n")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int{c.encoder});
        Exchange x({}, c.encoder);
        x.get();
        EXPECT_EQ(x.payloadsFrom(serverPort), c.segments);
        EXPECT_EQ(x.flagsAfterLastPayload(serverPort), tcpFinAck);
    }
    EXPECT_TRUE(responseHeadText(httpPlain, 0).find("\r\nContent-Length: 0\r\n") !=
                std::string::npos);
}

TEST(HttpGet, TooLongNameEndsTheRunBeforeAnyPacket) {
    Exchange x(testing::noiseBytes(10), httpGzip, 1200, std::string(246, 'a'));
    try {
        runHttpGetTransfer(x.f.conn, x.f.file);
        FAIL() << "no error for a name over the budget";
    } catch (const FatalError& e) {
        EXPECT_STREQ(e.what(), urlEncoderTooLong);
        EXPECT_EQ(e.status, exitFailure);
    }
    EXPECT_TRUE(x.f.finish().empty());
}

// Every encoding, over sizes around the block size and large bodies, must give
// back the file to a client that follows the head's framing and coding.
struct BodyCase {
    size_t size;
    int blockSize;
    bool noise;  // incompressible bytes, else text
};

void PrintTo(const BodyCase& c, std::ostream* os) {
    *os << c.size << (c.noise ? " noise" : " text") << " bytes in blocks of " << c.blockSize;
}

class HttpGetBody : public ::testing::TestWithParam<std::tuple<uint8_t, BodyCase>> {};

TEST_P(HttpGetBody, DecodesToTheFile) {
    const auto [encoder, c] = GetParam();
    const Payload file = c.noise ? testing::noiseBytes(c.size, 9) : testing::textBytes(c.size);
    Exchange x(file, encoder, c.blockSize);
    x.get();

    ASSERT_EQ(x.payloadsFrom(clientPort).size(), 1u);
    auto server = x.payloadsFrom(serverPort);
    auto response = decodeResponse(concat(server));
    ASSERT_FALSE(response.head.empty());
    ASSERT_TRUE(response.content.has_value()) << "the body does not decode under its head";
    EXPECT_TRUE(*response.content == file);
    if (encoder == httpPlain) {
        const auto block = static_cast<size_t>(c.blockSize);
        EXPECT_EQ(server.size(), 1 + (c.size + block - 1) / block);
        for (size_t i = 1; i < server.size(); ++i) EXPECT_LE(server[i].size(), block);
    }
}

std::string bodyCaseName(const ::testing::TestParamInfo<std::tuple<uint8_t, BodyCase>>& info) {
    const auto& [encoder, c] = info.param;
    return "encoder" + std::to_string(encoder) + "_size" + std::to_string(c.size) + "_block" +
           std::to_string(c.blockSize) + (c.noise ? "_noise" : "_text");
}

INSTANTIATE_TEST_SUITE_P(
    HttpEncoders, HttpGetBody,
    ::testing::Combine(::testing::Values(httpPlain, httpGzip, httpChunked, httpGzipChunked),
                       ::testing::Values(BodyCase{0, 1200, true}, BodyCase{1, 1200, true},
                                         BodyCase{1199, 1200, true}, BodyCase{1200, 1200, true},
                                         BodyCase{1201, 1200, false}, BodyCase{2500, 7, true},
                                         BodyCase{300 * 1024, 1460, false},
                                         BodyCase{300 * 1024, 1460, true},
                                         BodyCase{(1 << 20) + 100, 65000, true})),
    bodyCaseName);

const std::string postResponse =
    "HTTP/1.1 200 OK\r\n"
    "Date: Fri, 21 Sep 2018 13:35:26 GMT\r\n"
    "Server: Apache/2.2.3 (Debian) PHP/5.2.0-8+etch10 mod_ssl/2.2.3 OpenSSL/0.9.8c\r\n"
    "Content-Length: 0\r\n"
    "Content-Type: text/html; charset=UTF-8\r\n\r\n";

// The upload always carries the file plain, whatever encoder the run was given.
TEST(HttpPost, BodyIsPartHeadFileAndCloseDelimiterFromTheClient) {
    const std::string name = "/tmp/up load (1).bin";
    for (uint8_t encoder : {httpPlain, httpGzip, httpChunked, httpGzipChunked}) {
        for (size_t size : {size_t{0}, size_t{2500}}) {
            SCOPED_TRACE(::testing::Message() << int{encoder} << " size " << size);
            const Payload file = testing::noiseBytes(size, 4);
            Exchange x(file, encoder, 1200, name);
            x.post();

            // The server answers once the whole body is in, then the teardown follows.
            EXPECT_EQ(x.payloadsFrom(serverPort), std::vector<Payload>{bytesOf(postResponse)});
            size_t lastClientPayload = 0, answer = 0;
            for (size_t i = 0; i < x.records.size(); ++i) {
                if (x.records[i].payload().empty()) continue;
                (x.records[i].srcPort() == clientPort ? lastClientPayload : answer) = i;
            }
            EXPECT_EQ(answer, lastClientPayload + 2) << "after the close delimiter and its ACK";
            EXPECT_EQ(x.records[answer + 2].flags(), tcpFinAck);
            auto client = x.payloadsFrom(clientPort);
            const std::string head = postRequestHeadText(name, size);
            ASSERT_EQ(client.size(), size == 0 ? 2u : 5u);
            EXPECT_EQ(client.front(), bytesOf(head));
            EXPECT_EQ(client.back(), bytesOf(multipartClose));
            if (size > 0) {
                EXPECT_EQ(sizesOf(client, 1),
                          (std::vector<size_t>{1200, 1200, 100, std::strlen(multipartClose)}));
            }

            // The request body as the server counts it against Content-Length.
            const Payload stream = concat(client);
            const std::string text(stream.begin(), stream.end());
            size_t bodyStart = text.find("\r\n\r\n") + 4;
            const Payload body(stream.begin() + static_cast<long>(bodyStart), stream.end());
            EXPECT_EQ(headerValue(text.substr(0, bodyStart), "Content-Length"),
                      std::to_string(body.size()));
            const std::string part = head.substr(bodyStart);
            EXPECT_EQ(body, join({bytesOf(part), file, bytesOf(multipartClose)}));
        }
    }
}

}  // namespace
}  // namespace tracemint
