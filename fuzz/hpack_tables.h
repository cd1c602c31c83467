// Shared by the HPACK fuzz targets: two dynamic tables hold the same entries in the same order
// under the same limits (what a peer's decoder must mirror of an encoder, or of another decoder).
#pragma once

#include "wire/h2/hpack/dynamic_table.h"

#include <cstddef>

namespace quillet::h2::hpack {

inline bool same_table(const DynamicTable& a, const DynamicTable& b) {
  if (a.count() != b.count() || a.size() != b.size() || a.max_size() != b.max_size()) return false;
  for (size_t i = 0; i < a.count(); ++i) {
    if (a.name(i) != b.name(i) || a.value(i) != b.value(i)) return false;
  }
  return true;
}

}  // namespace quillet::h2::hpack
