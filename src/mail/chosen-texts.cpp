#include "mail/chosen-texts.h"

namespace tracemint {

std::string userAgentLine(const ConversationTexts& texts, std::string_view defaultLine) {
    if (texts.userAgent.empty()) return std::string(defaultLine);
    return "User-Agent: " + texts.userAgent + "\r\n";
}

std::string withContentType(std::string_view head, std::string_view defaultType,
                            const ConversationTexts& texts) {
    std::string text(head);
    const size_t at = text.find(defaultType);
    if (!texts.contentType.empty() && at != std::string::npos) {
        text.replace(at, defaultType.size(), texts.contentType);
    }
    return text;
}

}  // namespace tracemint
