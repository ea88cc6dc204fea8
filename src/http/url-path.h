#pragma once

#include <optional>
#include <string>
#include <string_view>

// Shared by the HTTP/1.1 and HTTP/2 requests: the file name as a URL path.
namespace tracemint {

inline constexpr const char* urlEncoderTooLong = "URL encoder: Filename too long";

// Escapes space, double quote, percent sign, parentheses, plus sign, full stop,
// square brackets, slash, CR and LF as %xx (lower-case hex); every other byte
// goes into the path unchanged (a raw CR or LF would end the request line).
// Slashes before the first appended character are dropped, so
// "/tmp/a b.gz" becomes "tmp%2fa%20b%2egz". The path has a budget of 250 bytes:
// an escape costs 4, a plain byte 1, and a name that runs the budget down to 5
// or less before it is used up gets no result.
std::optional<std::string> encodeUrlPath(std::string_view name);

}  // namespace tracemint
