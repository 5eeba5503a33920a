#pragma once
// SQL-literal copies of texts: every apostrophe doubled. The copies live until
// Dispose() (or the quoter's destruction). Statements of the configuration
// database bind their values instead; this serves code that must show or
// build a literal statement text.

#include <memory>
#include <vector>

class CSqLiteQuoter {
  public:
    CSqLiteQuoter() = default;
    ~CSqLiteQuoter() { Dispose(); }
    CSqLiteQuoter(const CSqLiteQuoter&) = delete;
    CSqLiteQuoter& operator=(const CSqLiteQuoter&) = delete;

    // A new NUL-terminated copy of text with apostrophes doubled; a null text
    // gives an empty string. Never null.
    const char* Quote(const char* text);
    void Dispose();

  private:
    std::vector<std::unique_ptr<char[]>> m_copies;
};
