// Any argument vector: the program does not crash, ends with status 0, 2 or 255,
// never changes its input, and writes nothing when it refuses the command line
// (status 2). The fuzzer may name the input file as the capture of other inputs
// ("-o in.bin -"): then it is replaced by a capture that holds packets, never by
// anything else, and never by an empty capture (every input failed).
//
// The fuzz input is split at NUL bytes into at most 24 arguments. A '/' in an
// argument becomes '_', so every name the program could create lies in the
// fuzzer's own scratch directory, whatever the fuzzer invents.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run-driver.h"
#include "fuzz-support.h"

namespace {

const char* const inputName = "in.bin";
std::string inputBytes;
std::string scratchDirectory;

std::set<std::string> listDirectory() {
    std::set<std::string> names;
    DIR* dir = ::opendir(".");
    FUZZ_CHECK(dir != nullptr);
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(dir);
    return names;
}

std::string readFile(const char* name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A pcap file header is 24 octets and a record header 16; in pcapng, blocks
// follow one another by their lengths until an enhanced packet block (type 6).
bool isCaptureWithPackets(const std::string& bytes) {
    auto word = [&](size_t at) {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
        return value;
    };
    if (bytes.size() < 12) return false;
    if (word(0) == 0xa1b2c3d4 || word(0) == 0xa1b23c4d) return bytes.size() > 24 + 16;
    if (word(0) != 0x0a0d0d0a) return false;
    for (size_t at = 0; at + 12 <= bytes.size();) {
        const uint32_t length = word(at + 4);
        if (word(at) == 6) return true;
        if (length < 12 || length % 4 != 0) return false;
        at += length;
    }
    return false;
}

void removeAllBut(const std::set<std::string>& keep) {
    for (const std::string& name : listDirectory()) {
        if (keep.count(name) == 0) ::unlink(name.c_str());
    }
}

void removeScratchDirectory() {
    removeAllBut({});
    ::rmdir(scratchDirectory.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char scratch[] = "/tmp/tracemint-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(scratch) != nullptr);
    FUZZ_CHECK(::chdir(scratch) == 0);
    scratchDirectory = scratch;
    std::atexit(removeScratchDirectory);
    // "-" reads standard input and "-o -" writes standard output: an empty input
    // and a sink that takes everything.
    int null = ::open("/dev/null", O_RDWR);
    FUZZ_CHECK(null >= 0 && ::dup2(null, 0) == 0 && ::dup2(null, 1) == 1);
    // Every byte value, and lines that begin with a dot, in a few thousand bytes:
    // enough for several segments in every mode, small enough to run fast.
    for (int i = 0; i < 3000; ++i) inputBytes += static_cast<char>(i % 7 == 0 ? '.' : i * 37);
    std::ofstream(inputName, std::ios::binary) << inputBytes;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"tracemint"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < 25; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == '\0') {
            args.push_back(current);
            current.clear();
        } else {
            current += c == '/' ? '_' : c;
        }
    }
    if (args.size() < 25 && (!current.empty() || size == 0)) args.push_back(current);

    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const std::set<std::string> before = listDirectory();
    std::ostringstream out, err;
    int status = tracemint::runTracemint(static_cast<int>(args.size()), argv.data(), out, err);
    FUZZ_CHECK(status == 0 || status == 2 || status == 255);
    const std::string after = readFile(inputName);
    if (after != inputBytes) {
        FUZZ_CHECK(isCaptureWithPackets(after));
        std::ofstream(inputName, std::ios::binary | std::ios::trunc) << inputBytes;
    }
    if (status == 2) FUZZ_CHECK(listDirectory() == before);
    removeAllBut({inputName});
    return 0;
}
