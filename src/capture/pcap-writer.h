#pragma once

#include "capture/capture-file.h"
#include "common/frame.h"

namespace tracemint {

// Writes one frame as a capture record: the record header with the frame's
// time, the headers, and the payload, which is copied here once and summed into
// the open transport checksum in the same pass.
void writeFrame(CaptureFile& capture, const Frame& frame);

}  // namespace tracemint
