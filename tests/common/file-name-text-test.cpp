#include "common/file-name-text.h"

#include <gtest/gtest.h>

#include <string>

namespace tracemint {
namespace {

TEST(FileNameInHeader, OnlyWhatCouldEndTheLineOrTheQuotedStringIsEscaped) {
    struct Case {
        std::string name, text;
    };
    const Case cases[] = {
        {"malware.pdf", "malware.pdf"},
        {"", ""},
        {"dir/with space/r\xc3\xa9sum\xc3\xa9.pdf", "dir/with space/r\xc3\xa9sum\xc3\xa9.pdf"},
        {"a\r\n.\r\nb", "a%0D%0A.%0D%0Ab"},
        {"say \"hi\".txt", "say %22hi%22.txt"},
        {"tab\tand\\backslash%41", "tab\tand\\backslash%41"},
        {std::string("\r", 1), "%0D"},
    };
    for (const Case& c : cases) EXPECT_EQ(fileNameInHeader(c.name), c.text) << c.name;
}

}  // namespace
}  // namespace tracemint
