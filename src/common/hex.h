// Hexadecimal text of byte strings: serial numbers, and the byte strings of
// vexa-sim's state file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vexa::common {

// The value of one hexadecimal digit in either case; -1 for any other
// character.
int hexDigitValue(char c);

// Two digits per byte, high nibble first, in lower case or upper case.
std::string toHex(const uint8_t* data, size_t length, bool upperCase = false);

// The bytes of text, two digits each, digits in either case. False, with
// out unchanged, on an odd length or a character that is no digit.
bool fromHex(std::string_view text, std::vector<uint8_t>& out);

}  // namespace vexa::common
