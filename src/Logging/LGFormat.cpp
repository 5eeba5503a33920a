#include "Logging/LGFormat.h"

#include <cctype>
#include <charconv>
#include <cstring>
#include <type_traits>

int lg_detail::formatPlain(char* out, std::size_t size, const char* format, va_list args) {
    char* o = out;
    char* const end = out + size;
    auto put = [&](const char* p, std::size_t n) {
        if (n > static_cast<std::size_t>(end - o)) return false;
        std::memcpy(o, p, n);
        o += n;
        return true;
    };
    for (const char* f = format;;) {
        const char* percent = std::strchr(f, '%');
        if (!put(f, percent ? static_cast<std::size_t>(percent - f) : std::strlen(f))) return -1;
        if (!percent) return static_cast<int>(o - out);
        f = percent + 1;
        enum { kInt, kLong, kLongLong, kSize } length = kInt;
        if (*f == 'l') {
            length = f[1] == 'l' ? kLongLong : kLong;
            f += length == kLongLong ? 2 : 1;
        } else if (*f == 'z') {
            length = kSize;
            ++f;
        }
        const char conversion = *f++;
        char digits[24];
        std::to_chars_result r{};
        switch (conversion) {
            case '%':
            case 'c':
            case 's': {
                if (length != kInt) return -1;
                if (conversion == 's') {
                    const char* s = va_arg(args, const char*);
                    if (!s || !put(s, std::strlen(s))) return -1;  // vsnprintf says "(null)"
                } else {
                    const char c = conversion == '%' ? '%' : static_cast<char>(va_arg(args, int));
                    if (!put(&c, 1)) return -1;
                }
                continue;
            }
            case 'd':
            case 'i': {
                long long v = length == kInt    ? va_arg(args, int)
                              : length == kLong ? va_arg(args, long)
                              : length == kSize ? va_arg(args, std::make_signed_t<std::size_t>)
                                                : va_arg(args, long long);
                r = std::to_chars(digits, digits + sizeof digits, v);
                break;
            }
            case 'u':
            case 'x':
            case 'X': {
                unsigned long long v = length == kInt    ? va_arg(args, unsigned)
                                       : length == kLong ? va_arg(args, unsigned long)
                                       : length == kSize ? va_arg(args, std::size_t)
                                                         : va_arg(args, unsigned long long);
                r = std::to_chars(digits, digits + sizeof digits, v, conversion == 'u' ? 10 : 16);
                if (conversion == 'X')
                    for (char* p = digits; p != r.ptr; ++p)
                        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
                break;
            }
            default:
                return -1;  // flags, width, precision, other conversions, a lone '%'
        }
        if (!put(digits, static_cast<std::size_t>(r.ptr - digits))) return -1;
    }
}
