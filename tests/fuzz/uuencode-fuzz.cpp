// UU lines of any bytes decode back to the bytes, have the predicted size, and
// come out the same when the input is encoded in pieces of whole lines.
#include <cstdint>
#include <string>

#include "fuzz-support.h"
#include "mail/mail-test-support.h"
#include "mail/uuencode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tracemint;
    const Bytes input(data, size);
    std::string whole(uuEncodedSize(size), '\0');
    FUZZ_CHECK(uuEncodeLines(input, whole.data()) == whole.size());
    auto decoded = testing::decodeUuLines(whole);
    FUZZ_CHECK(decoded && decoded->size() == size &&
               std::equal(decoded->begin(), decoded->end(), data));

    const size_t cut = std::min(size, (size ? data[0] % 5 : 0) * uuLineInput);
    std::string pieces(uuEncodedSize(cut), '\0');
    uuEncodeLines(input.first(cut), pieces.data());
    std::string rest(uuEncodedSize(size - cut), '\0');
    uuEncodeLines(input.subspan(cut), rest.data());
    FUZZ_CHECK(pieces + rest == whole);
    return 0;
}
