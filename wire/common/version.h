// The module's version string.
#pragma once

#include <string>
#include <string_view>

namespace quillet {

// The package version as written in the build ("0.4.3", or e.g. "1.0.0-beta.2").
std::string_view package_version();

// Rewrites a package version into the Python packaging form: every "-alpha" becomes "a" and
// every "-beta" becomes "b" ("1.0.0-beta.2" -> "1.0.0b.2"); anything else is kept as it is.
std::string python_version(std::string_view package_version);

}  // namespace quillet
