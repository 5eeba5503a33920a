#include "Crypto/Base85Coder.h"

#include <cstdio>
#include <cstring>

const uint32_t Base85_Pow85[5] = {85u * 85 * 85 * 85, 85u * 85 * 85, 85u * 85, 85u, 1u};

size_t CBase85Coder::EncodeBound(size_t dataLen) {
    size_t groups = (dataLen + 3) / 4;
    size_t counted = 5 * groups;  // digits that advance the line counter
    // delimiters, doubled apostrophes, a line feed per 159 counted
    // characters plus the one before "~>", and the NUL
    return 2 + 2 * counted + counted / 159 + 1 + 2 + 1;
}

bool CBase85Coder::put(char c) {
    // Keep one byte for the terminating NUL.
    if (m_pos + 1 >= m_capacity) return false;
    m_out[m_pos++] = c;
    return true;
}

bool CBase85Coder::putCounted(char c) {
    if (!put(c)) return false;
    // Doubled for the SQL literal, right behind it; the second one is not counted.
    if (c == '\'' && !put('\'')) return false;
    if (m_line >= kMaxLine) {
        if (!put('\n')) return false;
        m_line = 0;
    } else {
        ++m_line;
    }
    return true;
}

bool CBase85Coder::Encode85(uint32_t group, unsigned count) {
    char digits[5];
    for (int i = 4; i >= 0; --i) {
        digits[i] = static_cast<char>('!' + group % 85);
        group /= 85;
    }
    for (unsigned i = 0; i <= count; ++i)
        if (!putCounted(digits[i])) return false;
    return true;
}

bool CBase85Coder::Encode(const uint8_t* data, unsigned dataLen, char* out, unsigned outLen) {
    if (!out) return false;
    memset(out, 0, outLen);
    m_out = out;
    m_capacity = outLen;
    m_pos = 0;
    m_group = 0;
    m_count = 0;

    bool ok = put('<') && put('~');
    m_line = 2;
    for (unsigned i = 0; ok && i < dataLen; ++i) {
        m_group = (m_group << 8) | data[i];
        if (++m_count == 4) {
            ok = m_group == 0 ? putCounted('z') : Encode85(m_group, 4);
            m_group = 0;
            m_count = 0;
        }
    }
    if (ok && m_count > 0) {
        // Padded with zero bytes, never written as 'z'.
        uint32_t padded = m_group << (8 * (4 - m_count));
        ok = Encode85(padded, m_count);
    }
    if (ok && m_line + 2 > kMaxLine) ok = put('\n');
    ok = ok && put('~') && put('>');
    m_group = 0;
    m_count = 0;
    m_out = nullptr;
    if (!ok) memset(out, 0, outLen);
    return ok;
}

bool CBase85Coder::Decode(const char* text, uint8_t* out, unsigned outLen, unsigned* written) {
    size_t pos = 0;
    auto emit = [&](uint32_t group, unsigned bytes) {
        if (outLen - pos < bytes) return false;
        for (unsigned i = 0; i < bytes; ++i)
            out[pos++] = static_cast<uint8_t>(group >> (24 - 8 * i));
        return true;
    };
    auto finish = [&](bool ok) {
        if (written) *written = static_cast<unsigned>(pos);
        return ok;
    };

    if (out) memset(out, 0, outLen);
    if (!text || (!out && outLen)) return finish(false);

    // The opening delimiter is taken on trust, but never past the NUL.
    const char* p = text;
    for (int i = 0; i < 2 && *p; ++i) ++p;

    uint32_t group = 0;
    unsigned count = 0;
    for (; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
            case '\b':
            case '\t':
            case '\n':
            case '\f':
            case '\r':
            case ' ':
            case 0x7F:
                continue;
            case 'z':
                if (count != 0) {
                    fprintf(stderr, "Decode85: z inside ascii85 5-tuple\n");
                    return finish(false);
                }
                if (!emit(0, 4)) return finish(false);
                continue;
            case '~':
                if (p[1] != '>') {
                    fprintf(stderr, "Decode85: ~ without > in ascii85 section\n");
                    return finish(false);
                }
                if (count > 1) {
                    // Round the missing places up so that the kept bytes come out exact.
                    group += Base85_Pow85[count - 1];
                    if (!emit(group, count - 1)) return finish(false);
                }
                return finish(true);
            default:
                if (c < '!' || c > 'u') {
                    fprintf(stderr, "Decode85: bad character in ascii85 region: %#o\n", c);
                    return finish(false);
                }
                group += static_cast<uint32_t>(c - '!') * Base85_Pow85[count];
                if (++count == 5) {
                    if (!emit(group, 4)) return finish(false);
                    group = 0;
                    count = 0;
                }
        }
    }
    // Text that ends without "~>" keeps the whole groups decoded so far.
    return finish(true);
}
