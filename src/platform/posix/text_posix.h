// Lossless conversion between the bytes of POSIX names and UTF-16.
// Valid UTF-8 decodes as usual; every byte that is not part of a valid UTF-8
// sequence becomes the lone surrogate U+DC80..U+DCFF, and encoding maps
// those back to the byte, so any file name survives the round trip.
#pragma once

#include <string>
#include <string_view>

namespace qm {

std::u16string WideFromBytes(std::string_view bytes);
std::string BytesFromWide(std::u16string_view wide);
std::string BytesFromWide(const char16_t* wide);  // null gives ""

}  // namespace qm
