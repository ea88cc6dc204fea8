#include "driver/command-line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tracemint {
namespace {

// The values of the chosen texts: what stands in a header line must not be able
// to end it, nor leave the grammar of the header it stands in.
TEST(CommandLineValues, ChosenTexts) {
    const struct {
        bool (*check)(const std::string&);
        std::string text;
        bool accepted;
    } cases[] = {
        {isValidAnnouncedName, "evil.exe", true},
        {isValidAnnouncedName, "dir/caf\xc3\xa9 (1).bin", true},
        {isValidAnnouncedName, std::string(255, 'n'), true},
        {isValidAnnouncedName, std::string(256, 'n'), false},
        {isValidAnnouncedName, "", false},
        {isValidAnnouncedName, "a\r\nb", false},
        {isValidAnnouncedName, "tab\tname", false},
        {isValidAnnouncedName, "del\x7f", false},
        {isValidHostName, "mx-1.corp_test.example", true},
        {isValidHostName, "10.0.0.1", true},
        {isValidHostName, std::string(253, 'h'), true},
        {isValidHostName, std::string(254, 'h'), false},
        {isValidHostName, "", false},
        {isValidHostName, "host:8080", false},
        {isValidHostName, "two words", false},
        {isValidHostName, "h\r\nX: y", false},
        {isValidHeaderText, "Mozilla/5.0 (X11; Linux) Agent/1", true},
        {isValidHeaderText, std::string(986, 'u'), true},
        {isValidHeaderText, std::string(987, 'u'), false},
        {isValidHeaderText, "", false},
        {isValidHeaderText, " leading", false},
        {isValidHeaderText, "trailing ", false},
        {isValidHeaderText, "a\r\nX-Injected: 1", false},
        {isValidHeaderText, "caf\xc3\xa9", false},
        {isValidMimeType, "application/x-dosexec", true},
        {isValidMimeType, "text/plain; charset=utf-8", true},
        {isValidMimeType, "text/plain;charset=\"a b\\\"c\"; format=flowed", true},
        {isValidMimeType, "application/vnd.ms-excel", true},
        {isValidMimeType, "", false},
        {isValidMimeType, "text", false},
        {isValidMimeType, "text/", false},
        {isValidMimeType, "/plain", false},
        {isValidMimeType, "text/plain;", false},
        {isValidMimeType, "text/plain; charset", false},
        {isValidMimeType, "text/plain; charset=", false},
        {isValidMimeType, "text/plain; charset=\"open", false},
        {isValidMimeType, "text/plain extra", false},
        {isValidMimeType, "text/pl\"ain", false},
        {isValidMimeType, "text/plain\r\nX-Injected: 1", false},
        {isValidMimeType, "text/" + std::string(251, 'p'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.check(c.text), c.accepted);
    }
}

// The capture's comment names the options but never a local path.
TEST(CommandLineText, OptionsWithoutPathsInAFixedOrder) {
    const struct {
        std::vector<std::string> args;
        std::string text;
    } cases[] = {
        {{"tracemint", "/home/alice/in.bin"}, ""},
        {{"tracemint", "-mhx", "--seed=7", "/home/alice/in.bin", "-o", "/home/alice/out.pcap"},
         "-m hx --seed 7"},
        {{"tracemint", "--name", "evil.exe", "-e1", "-6", "in.bin", "--user-agent", "A/1 (x; y)",
          "--content-type", "text/plain; charset=\"a\""},
         "-e 1 -6 --name evil.exe --user-agent 'A/1 (x; y)' --content-type 'text/plain; "
         "charset=\"a\"'"},
        {{"tracemint", "--name", "it's.exe", "in.bin"}, "--name 'it'\\''s.exe'"},
        {{"tracemint", "--overlap", "0.1", "--decoy", "tcp-first:0.5", "--decoy-text", "a b", "in.bin"},
         "--overlap 0.1 --decoy tcp-first:0.5 --decoy-text 'a b'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> args = c.args;
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const CommandLine cl = parseCommandLine(static_cast<int>(args.size()), argv.data());
        EXPECT_EQ(optionsText(cl), c.text);
    }
}

}  // namespace
}  // namespace tracemint
