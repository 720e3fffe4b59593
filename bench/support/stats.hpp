// Small statistics shared by the benchmarks.
#pragma once

#include <algorithm>
#include <vector>

namespace qv::bench {

// The middle value of the rounds (the upper middle of an even count).
inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace qv::bench
