// Base64 mail lines of any bytes decode back to the bytes, have the predicted
// size, and come out the same when the input is encoded in pieces of whole lines.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz-support.h"
#include "mail/base64.h"
#include "mail/mail-test-support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tracemint;
    const Bytes input(data, size);
    std::string whole(base64EncodedSize(size), '\0');
    FUZZ_CHECK(base64EncodeLines(input, whole.data()) == whole.size());
    auto decoded = testing::decodeBase64(whole);
    FUZZ_CHECK(decoded && decoded->size() == size &&
               std::equal(decoded->begin(), decoded->end(), data));

    // In pieces: a whole number of lines, chosen by the first byte, then the rest.
    const size_t cut = std::min(size, (size ? data[0] % 5 : 0) * base64LineInput);
    std::string pieces(base64EncodedSize(cut), '\0');
    base64EncodeLines(input.first(cut), pieces.data());
    std::string rest(base64EncodedSize(size - cut), '\0');
    base64EncodeLines(input.subspan(cut), rest.data());
    FUZZ_CHECK(pieces + rest == whole);
    return 0;
}
