#pragma once
// Random bytes for folder keys, salts and identifiers, from the kernel's
// generator. Tests and tools that need reproducible folders install their own
// source for the duration of a scope.

#include <cstddef>
#include <cstdint>
#include <functional>

class CPrng {
  public:
    using Source = std::function<void(uint8_t* dst, size_t len)>;

    // Fills dst[0..len). Returns false (and leaves dst zeroed) only when the
    // system generator cannot deliver, which callers must treat as fatal for
    // key material.
    static bool GetRandomBytes(uint8_t* dst, unsigned len);

    // Replaces the generator process-wide; an empty Source restores it.
    static void SetSource(Source source);

    // Installs a source for one scope and restores the previous one after.
    class ScopedSource {
      public:
        explicit ScopedSource(Source source);
        ~ScopedSource();
        ScopedSource(const ScopedSource&) = delete;
        ScopedSource& operator=(const ScopedSource&) = delete;

      private:
        Source m_previous;
    };

    // A reproducible stream: byte i of the stream started by `seed` is a
    // function of seed and i only (not cryptographic; for tests and fixtures).
    static Source CountingSource(uint32_t seed);
};
