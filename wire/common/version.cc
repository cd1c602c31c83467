#include "wire/common/version.h"

#include <array>
#include <utility>

namespace quillet {

std::string_view package_version() {
  return QUILLET_PACKAGE_VERSION;
}

std::string python_version(std::string_view version) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kMarkers{{
      {"-alpha", "a"},
      {"-beta", "b"},
  }};
  std::string out;
  out.reserve(version.size());
  size_t i = 0;
  while (i < version.size()) {
    bool replaced = false;
    for (const auto& [marker, short_form] : kMarkers) {
      if (version.substr(i, marker.size()) == marker) {
        out += short_form;
        i += marker.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += version[i++];
  }
  return out;
}

}  // namespace quillet
