#pragma once
// Ascii85 text of binary key-record fields, in the PostScript/PDF form:
// "<~" ... "~>", 'z' for a whole group of four zero bytes, five characters
// from '!' to 'u' per group, a shorter final group. Every apostrophe of the
// text is doubled so that it can sit inside a single-quoted SQL literal; the
// SQL layer undoes the doubling before the text comes back to Decode.
//
// Lines are broken so that the first holds "<~" and 159 characters and every
// further one 161 characters, each followed by a line feed.

#include <cstddef>
#include <cstdint>

extern const uint32_t Base85_Pow85[5];

class CBase85Coder {
  public:
    static constexpr unsigned kMaxLine = 160;

    CBase85Coder() = default;

    // Capacity of `out`, NUL included, that Encode needs for dataLen bytes in
    // the worst case (every digit an apostrophe).
    static size_t EncodeBound(size_t dataLen);

    // Writes the NUL-terminated text of data into out, which is first cleared
    // over outLen bytes. Returns false, with out cleared, when the text and
    // its NUL do not fit.
    bool Encode(const uint8_t* data, unsigned dataLen, char* out, unsigned outLen);

    // Clears out[0..outLen) and decodes text into it from its start, stopping
    // at the closing "~>" or the NUL. Returns false on malformed text (one
    // line on standard error names the fault) and when the bytes would not
    // fit; what was decoded until then stays. `written`, when given, receives
    // the number of bytes decoded.
    bool Decode(const char* text, uint8_t* out, unsigned outLen, unsigned* written = nullptr);

  private:
    bool Encode85(uint32_t group, unsigned count);
    bool put(char c);
    bool putCounted(char c);

    uint32_t m_group = 0;
    unsigned m_count = 0;
    unsigned m_line = 0;
    char* m_out = nullptr;
    size_t m_capacity = 0;
    size_t m_pos = 0;
};
