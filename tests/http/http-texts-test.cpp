#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "http/http-exchange.h"

namespace tracemint {
namespace {

const std::string blankLine = "\r\n\r\n";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The part of the POST head after the request head's empty line: the multipart
// body up to the file's first byte.
std::string partHead(const std::string& postHead) {
    size_t end = postHead.find(blankLine);
    EXPECT_NE(end, std::string::npos);
    return postHead.substr(end + blankLine.size());
}

TEST(HttpTexts, PostContentLengthIsTheExactMultipartBodySize) {
    EXPECT_EQ(postContentLength("a.bin", 10), 237u);

    const std::string boundary = multipartBoundary;
    // RFC 2046 section 5.1.1: the close delimiter is CRLF, "--", the boundary, "--".
    EXPECT_EQ(std::string(multipartClose), "\r\n--" + boundary + "--\r\n");

    // The name as it stands in the quoted filename parameter: what could end the
    // quoted string or the header line is escaped as browsers do.
    const struct {
        std::string name;
        uint64_t size;
        std::string quoted;
    } cases[] = {
        {"a.bin", 10, "a.bin"},
        {"", 0, ""},
        {"/tmp/x y (1).bin", 2500, "/tmp/x y (1).bin"},
        {"dir/caf\xc3\xa9.dat", 1, "dir/caf\xc3\xa9.dat"},
        {"name \"quoted\".txt", 77, "name %22quoted%22.txt"},
        {"two\r\nlines", 5, "two%0D%0Alines"},
        {std::string(200, 'n'), 5368709120ull, std::string(200, 'n')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string head = postRequestHeadText(c.name, c.size);
        const std::string part = partHead(head);
        const uint64_t length = postContentLength(c.name, c.size);
        EXPECT_EQ(part.size() + c.size + std::strlen(multipartClose), length);
        EXPECT_TRUE(contains(head, "\r\nContent-Length: " + std::to_string(length) + "\r\n"));
        EXPECT_TRUE(
            contains(head, "\r\nContent-Type: multipart/form-data; boundary=" + boundary + "\r\n"));
        // The part opens with the dash-boundary right at the start of the body.
        EXPECT_EQ(part.rfind("--" + boundary + "\r\n", 0), 0u);
        EXPECT_TRUE(contains(part, "filename=\"" + c.quoted + "\"\r\n"));
        EXPECT_EQ(part.substr(part.size() - 4), blankLine);
        EXPECT_EQ(head.rfind("POST /tracemint.cgi HTTP/1.1\r\nHost: fileserver\r\n", 0), 0u);
    }
}

TEST(HttpTexts, ResponseHeads) {
    EXPECT_EQ(responseHeadText(httpChunked, 0).size(), 306u);
    EXPECT_EQ(responseHeadText(httpGzipChunked, 0).size(), 353u);

    const struct {
        uint8_t encoder;
        uint64_t length;
        bool chunked;
        bool gzip;
    } cases[] = {
        {httpPlain, 0, false, false},  {httpPlain, 5368709120ull, false, false},
        {httpGzip, 20, false, true},   {httpGzip, 4294967312ull, false, true},
        {httpChunked, 0, true, false}, {httpGzipChunked, 0, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << int{c.encoder} << " " << c.length);
        const std::string head = responseHeadText(c.encoder, c.length);
        EXPECT_EQ(head.rfind("HTTP/1.1 200 Ok\r\n", 0), 0u);
        ASSERT_GE(head.size(), 4u);
        EXPECT_EQ(head.find(blankLine), head.size() - 4) << "one empty line, at the end";
        EXPECT_EQ(contains(head, "\r\nTransfer-Encoding: chunked\r\n"), c.chunked);
        EXPECT_EQ(contains(head, "\r\nContent-Encoding: gzip\r\n"), c.gzip);
        // RFC 9112 section 6.2: no Content-Length beside Transfer-Encoding.
        const std::string lengthLine = "\r\nContent-Length: " + std::to_string(c.length) + "\r\n";
        EXPECT_EQ(contains(head, lengthLine), !c.chunked);
        EXPECT_EQ(contains(head, "Content-Length"), !c.chunked);
    }
    EXPECT_TRUE(
        contains(responseHeadText(httpPlain, 5368709120ull), "\r\nContent-Length: 5368709120\r\n"));
}

// A chosen type replaces each head's own, once, and the POST length stays exact;
// a chosen host and agent replace the defaults in both requests.
TEST(HttpTexts, ChosenTextsReplaceTheDefaults) {
    const ConversationTexts chosen{"mx.test", "Agent/2 (x)", "text/plain; charset=\"utf-8\""};
    const std::string typeLine = "\r\nContent-Type: text/plain; charset=\"utf-8\"\r\n";
    for (uint8_t encoder : {httpPlain, httpGzip, httpChunked, httpGzipChunked}) {
        SCOPED_TRACE(int{encoder});
        const std::string head = responseHeadText(encoder, 10, chosen);
        EXPECT_TRUE(contains(head, typeLine));
        EXPECT_EQ(head.find("Content-Type"), head.rfind("Content-Type")) << "one type line";
        EXPECT_EQ(head.find(blankLine), head.size() - 4);
    }

    const std::string post = postRequestHeadText("a.bin", 10, chosen);
    const std::string part = partHead(post);
    EXPECT_EQ(part.size() + 10 + std::strlen(multipartClose),
              postContentLength("a.bin", 10, chosen));
    EXPECT_TRUE(contains(
        post,
        "\r\nContent-Length: " + std::to_string(postContentLength("a.bin", 10, chosen)) + "\r\n"));
    EXPECT_TRUE(contains(part, typeLine));
    EXPECT_FALSE(contains(post, "application/octet-stream"));

    for (const std::string& request : {getRequestText("a", chosen), post}) {
        EXPECT_TRUE(contains(request, " HTTP/1.1\r\nHost: mx.test\r\nUser-Agent: Agent/2 (x)\r\n"));
        EXPECT_FALSE(contains(request, "fileserver"));
        EXPECT_FALSE(contains(request, "Mozilla"));
    }
}

TEST(HttpTexts, GetRequest) {
    const std::string request = getRequestText("bin%2edat");
    EXPECT_EQ(request.rfind("GET /tracemint/bin%2edat HTTP/1.1\r\nHost: fileserver\r\n", 0), 0u);
    ASSERT_GE(request.size(), 4u);
    EXPECT_EQ(request.find(blankLine), request.size() - 4) << "one empty line, at the end";
    EXPECT_TRUE(contains(request, "\r\nAccept-Encoding: gzip,deflate\r\n"));
    EXPECT_FALSE(contains(request, "Content-Length")) << "a GET has no body";

    EXPECT_EQ(getRequestText("").rfind("GET /tracemint/ HTTP/1.1\r\n", 0), 0u);
}

}  // namespace
}  // namespace tracemint
