// Splitting large pixel work across the machine's cores: one persistent pool
// of threads for the whole process, so that a split costs a wake-up, not a
// thread start. Internal to the framework layer and the package's pixel code.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstddef>
#include <type_traits>
#include <utility>

namespace Fmx::Graphics::Detail {

// Runs body(begin, end) over consecutive ranges that together cover
// [0, count), on the pool's threads and the calling thread, and returns when
// every range is done. Ranges start at multiples of grain. An exception from
// a range is raised here once all ranges have ended (the first one wins).
// Work is split only when it is worth it: a count below minCount, a call
// made while another split is running (nested or from another thread) or a
// one-core machine runs everything here, on the calling thread.
void ParallelFor(std::size_t count, std::size_t grain, std::size_t minCount, void (*body)(void*, std::size_t, std::size_t),
                 void* context);

template <class Body>
void ParallelFor(std::size_t count, std::size_t grain, std::size_t minCount, Body&& body) {
  using TBody = std::remove_reference_t<Body>;
  ParallelFor(
      count, grain, minCount,
      [](void* context, std::size_t begin, std::size_t end) { (*static_cast<TBody*>(context))(begin, end); },
      const_cast<void*>(static_cast<const void*>(&body)));
}

// The threads a split uses, the caller included; 1 means no pool.
std::size_t PixelThreadCount();

// Tests and benchmarks: at most this many threads (0 = every core).
void LimitPixelThreads(std::size_t Threads);

}  // namespace Fmx::Graphics::Detail
