#include "Database/SqLiteQuoter.h"

#include <cstring>

const char* CSqLiteQuoter::Quote(const char* text) {
    size_t n = text ? std::strlen(text) : 0;
    auto copy = std::make_unique<char[]>(2 * n + 1);
    char* o = copy.get();
    for (size_t i = 0; i < n; ++i) {
        *o++ = text[i];
        if (text[i] == '\'') *o++ = '\'';
    }
    *o = 0;
    m_copies.push_back(std::move(copy));
    return m_copies.back().get();
}

void CSqLiteQuoter::Dispose() {
    m_copies.clear();
}
