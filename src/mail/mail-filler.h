#pragma once

#include <array>
#include <string>
#include <string_view>

#include "common/random.h"

namespace tracemint {

// The short plain-text part ahead of every attachment: one of these jokes,
// chosen at random for each mail, so mails made from the same file differ.
// Each is printable ASCII, 40 to 161 characters, one to three lines, every line
// ended by CR LF.
inline constexpr size_t fillerCount = 25;
extern const std::array<std::string_view, fillerCount> fillerTexts;

// One draw from the run's generator picks an entry; the text is the entry
// followed by two empty lines.
std::string pickFillerText(Random& random);

}  // namespace tracemint
