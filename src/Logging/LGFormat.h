#pragma once
// printf for log calls. The conversions they use most are made here without
// the C library's stream set-up, which costs more than the rest of a log
// call; anything else is left to vsnprintf.

#include <cstdarg>
#include <cstddef>

namespace lg_detail {

// Writes what vsnprintf would when every conversion of `format` is %%, %c, a
// non-null %s, or %d %i %u %x %X with no length modifier or l, ll or z, none
// of them with flags, width or precision, and the text fits `size` bytes.
// Returns its length (no terminator is written), or -1 when it cannot: the
// caller then formats with vsnprintf from its own, unused va_list.
int formatPlain(char* out, std::size_t size, const char* format, va_list args);

}  // namespace lg_detail
