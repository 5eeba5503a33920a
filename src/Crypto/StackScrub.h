#pragma once
// Cipher kernels leave round keys and plain blocks in vector registers and in
// the stack slots the compiler spills them to; those bytes outlive the call
// in the stack's unused depth until something overwrites them, and registers
// land on the stack at the next lazy symbol binding or signal. Threads that
// ran a cipher call this when the work is done, from a frame no deeper than
// the one that made the cipher calls.

#include <cstddef>

namespace poi {

inline constexpr size_t kStackScrubBytes = 16 * 1024;

// Zeroes the vector registers and `bytes` of the stack below the caller's
// frame.
void scrubStack(size_t bytes = kStackScrubBytes);

}  // namespace poi
