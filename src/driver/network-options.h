#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/settings.h"
#include "driver/command-line.h"

namespace tracemint {

// Reads the options of the network under the conversation (MTU and block size,
// TCP options, window, ISNs, ACK policy, times, TTL, MACs, VLAN tags, and the
// --realistic preset) into the settings. nowSeconds is the time a run that
// starts "now" starts. Throws FatalError(exitUsage) for a value out of range.
void applyNetworkOptions(const CommandLine& cl, uint64_t nowSeconds, Settings& settings);

// "aa:bb:cc:dd:ee:ff" (either case).
std::optional<MacAddress> parseMacAddress(const std::string& text);
// ISO 8601 UTC ("2026-01-31T12:00:00Z") or Unix seconds, in whole seconds.
std::optional<uint64_t> parseStartTime(const std::string& text);
// A decimal number with an optional fraction ("0.5", "20"), scaled by
// 10^decimals and rounded down; nothing for other texts or values above limit.
std::optional<uint64_t> parseDecimal(const std::string& text, int decimals, uint64_t limit);

// A probability from 0 to 1 ("0.1", "1") in millionths.
std::optional<uint32_t> parseProbability(const std::string& text);

}  // namespace tracemint
