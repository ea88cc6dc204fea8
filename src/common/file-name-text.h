#pragma once

#include <string>
#include <string_view>

namespace tracemint {

// The input's name as it stands inside a quoted header parameter (a MIME part's
// name and filename, a form field's filename) or on a protocol line (the UU
// "begin" line). A file name may hold any byte but NUL and "/" in its last
// component, so CR, LF and the double quote are written as %0D, %0A and %22, as
// browsers write them in multipart/form-data: a name can then neither end the
// header line, nor the quoted string, nor an SMTP DATA section early. Every other
// name is written unchanged.
std::string fileNameInHeader(std::string_view name);

}  // namespace tracemint
