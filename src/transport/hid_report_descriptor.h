// Reads the output report length out of a USB HID report descriptor, for
// HID backends that do not report it themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace talvoranth {

// The length in bytes of the longest output report the descriptor
// declares, plus the report id byte (which hidapi's writes always carry,
// also for a device without numbered reports): 65 for a device with one
// 64-byte output report. 0 when the descriptor declares no output report.
// Nothing when the descriptor is malformed (a truncated item, an unbalanced
// push or pop).
std::optional<size_t> outputReportLength(const uint8_t* descriptor, size_t length);

}  // namespace talvoranth
