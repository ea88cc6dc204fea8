// Quoted-printable of any bytes, fed to the encoder in pieces of any size and
// drawn out with any output limits, decodes back to the bytes under a strict
// decoder (no line over 76 characters, none ending in a blank) and is the same
// text as the bytes encoded in one call.
#include <cstdint>
#include <string>

#include "fuzz-support.h"
#include "mail/mail-test-support.h"
#include "mail/quoted-printable.h"

namespace {

using namespace tracemint;

// Encodes input, `limit` characters at a time at most (plus one byte's worth).
std::string encode(Bytes input, size_t limit) {
    QuotedPrintableState state;
    std::string out;
    std::string buffer(limit + qpMaxOutputPerByte, '\0');
    while (!input.empty()) {
        QpProgress step = qpEncode(state, input, buffer.data(), limit);
        FUZZ_CHECK(step.consumed > 0 || step.produced > 0 || input.empty());
        FUZZ_CHECK(step.produced <= limit + qpMaxOutputPerByte);
        out.append(buffer.data(), step.produced);
        input = input.subspan(step.consumed);
    }
    char tail[qpMaxOutputPerByte];
    out.append(tail, qpFinish(state, tail));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t limit = data[0] * 7u;  // 0 to 1785 characters per call
    const Bytes input(data + 1, size - 1);
    const std::string text = encode(input, limit);
    FUZZ_CHECK(text == encode(input, input.size() * qpMaxOutputPerByte + 1));
    // The counting pass that sizes an IMAP literal or a POP3 message agrees.
    QuotedPrintableState counting;
    char tail[qpMaxOutputPerByte];
    const uint64_t counted = qpCount(counting, input);
    FUZZ_CHECK(counted + qpFinish(counting, tail) == text.size());
    auto decoded = testing::decodeQuotedPrintable(text);
    FUZZ_CHECK(decoded && decoded->size() == input.size() &&
               std::equal(decoded->begin(), decoded->end(), input.begin()));
    return 0;
}
