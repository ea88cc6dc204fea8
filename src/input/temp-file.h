#pragma once

#include <string>

namespace tracemint {

// A private, unnamed temporary file open for reading and writing, made in
// directory (beside the capture it serves), or in $TMPDIR (else /tmp) when
// nothing can be created there: no other process can find it by name, nothing
// is left behind whatever ends the run, and no planted link can redirect it. A
// failure in both places ends the run (status 255), naming the purpose.
int createPrivateTempFile(const std::string& directory, const std::string& purpose);

// The directory temporary files fall back to: $TMPDIR when set, else /tmp.
std::string fallbackTempDirectory();

}  // namespace tracemint
