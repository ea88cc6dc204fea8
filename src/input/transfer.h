#pragma once

#include <cstdint>
#include <string>

#include "common/random.h"
#include "common/settings.h"
#include "input/block-reader.h"

namespace tracemint {

// What a dialogue needs to know of the file it carries and of the run: the
// open input, its size, the name the conversation announces, and the run's
// settings (read only). Dialogues see no capture file and no clock.
struct Transfer {
    const InputFile* input = nullptr;
    uint64_t fileSize = 0;
    std::string name;  // the input path as given
    int blockSize = 1200;
    const Settings* settings = nullptr;
    Random* random = nullptr;  // the run's generator: mail filler, FTP data ports
    std::string tempDirectory = ".";  // for helper files such as the gzip body
    // The client's port of the FTP data connection when every conversation of a
    // capture has its own ports: announced by PORT or EPRT (active), or the
    // source of the data connection (passive). 0: the usual ones.
    uint16_t ftpDataPort = 0;
};

inline BlockReader openBlockReader(const Transfer& file) {
    return openBlockReader(*file.input);
}

}  // namespace tracemint
