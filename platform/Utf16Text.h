// UTF-16 text from the driver to UTF-8. Private to the platform layer.
#pragma once

#include <cstddef>
#include <string>

// Appends the UTF-8 form of count UTF-16 code units. The result is byte for byte what the
// FreeTDS driver gives when it converts the same text to UTF-8 itself (through iconv): a high
// surrogate at the very end (a value cut inside a pair) is dropped, another unpaired one
// becomes '?'. Text that is mostly blanks and ASCII (padded nchar columns)
// costs little more than a copy.
void AppendUtf8(std::string& out, const char16_t* units, std::size_t count);
