#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "capture/time-resolution.h"
#include "common/byte-order.h"

// Captures written as pieces and put together afterwards: each input of a run
// is written on its own (in parallel, perhaps) with its clock starting at the
// usual start time, and moved later by whole seconds so that the inputs follow
// one another. Whole seconds keep the clock's rollover exactly where a run that
// continued the clock from the start of that second would put it.
namespace tracemint {

enum class CaptureFormat : uint8_t { pcap, pcapng };

// The offset of the first packet: past pcap's file header, or past pcapng's
// section header and interface description. Zero when the bytes do not begin
// with a header of the format.
size_t capturePacketsOffset(Bytes capture, CaptureFormat format);

// Adds `seconds` to the stamp of every packet from `packets` on (pcap records,
// or pcapng blocks of which only enhanced packets carry a stamp, in the units of
// `resolution`). False when the bytes are not whole records or blocks.
bool shiftCaptureStamps(std::span<uint8_t> packets, CaptureFormat format, TimeResolution resolution,
                        uint32_t seconds);

// The length of the whole pcap records, or pcapng blocks, at the start of
// `packets`: what can be moved and passed on while the rest is still to come.
size_t wholePacketsLength(Bytes packets, CaptureFormat format);

}  // namespace tracemint
