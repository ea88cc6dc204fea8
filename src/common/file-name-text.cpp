#include "common/file-name-text.h"

namespace tracemint {

std::string fileNameInHeader(std::string_view name) {
    std::string text;
    text.reserve(name.size());
    for (char c : name) {
        switch (c) {
            case '\r': text += "%0D"; break;
            case '\n': text += "%0A"; break;
            case '"': text += "%22"; break;
            default: text += c;
        }
    }
    return text;
}

}  // namespace tracemint
