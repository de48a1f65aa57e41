#include "nmbclient/Helpers.h"

#include <stdexcept>
#include <string>

namespace nmb {

std::size_t roiCountOfPairs(std::size_t pairCount) {
  for (std::size_t r = 2; r * (r - 1) / 2 <= pairCount; ++r)
    if (r * (r - 1) / 2 == pairCount) return r;
  throw std::invalid_argument(std::to_string(pairCount) + " values are not the pairs of any number of ROIs");
}

SquareMatrix pairMatrix(const std::vector<float>& pairs, float diagonal) {
  SquareMatrix m;
  m.size = roiCountOfPairs(pairs.size());
  m.values.assign(m.size * m.size, diagonal);
  std::size_t k = 0;
  for (std::size_t a = 0; a + 1 < m.size; ++a)
    for (std::size_t b = a + 1; b < m.size; ++b, ++k) {
      m.values[a * m.size + b] = pairs[k];
      m.values[b * m.size + a] = pairs[k];
    }
  return m;
}

}  // namespace nmb
