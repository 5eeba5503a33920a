#pragma once
// A few long-lived threads that transform the sectors of one large request in
// parallel. Every sector is encrypted by its own position, so any split on the
// sector grid gives the same bytes as one pass.

#include <cstddef>
#include <functional>

namespace sector_workers {

// Calls fn(begin, end) over [0, n) cut into pieces whose starts are multiples
// of `grain`, on the calling thread and the workers; returns true when every
// call did. Small jobs run on the calling thread alone.
bool parallelFor(size_t n, size_t grain, const std::function<bool(size_t, size_t)>& fn);

}  // namespace sector_workers
