#pragma once

#include <string>
#include <string_view>

#include "common/settings.h"

// The chosen texts inside a mail: the dialogues keep their fixed texts exactly as
// they go on the wire and put a chosen agent or type in place of the default one.
namespace tracemint {

// The mail's User-Agent header line with the chosen agent, else defaultLine
// (a whole line with its CR LF, or empty for a mail that names no agent).
std::string userAgentLine(const ConversationTexts& texts, std::string_view defaultLine);

// A fixed part head with the chosen MIME type in place of the first occurrence
// of defaultType; the head unchanged when no type is chosen.
std::string withContentType(std::string_view head, std::string_view defaultType,
                            const ConversationTexts& texts);

}  // namespace tracemint
