// Sums of sizes read from archive directories: they stop at the largest value instead of
// wrapping, so a hostile directory cannot make a total look small.
#pragma once

#include <cstdint>
#include <limits>

namespace tolvanex {

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return a > kMax - b ? kMax : a + b;
}

}  // namespace tolvanex
