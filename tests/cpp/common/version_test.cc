#include "wire/common/version.h"

#include <gtest/gtest.h>

namespace quillet {
namespace {

TEST(Version, RewritesPreReleaseMarkers) {
  EXPECT_EQ(python_version("0.4.3"), "0.4.3");
  EXPECT_EQ(python_version("1.0.0-alpha"), "1.0.0a");
  EXPECT_EQ(python_version("1.0.0-beta.2"), "1.0.0b.2");
  EXPECT_EQ(python_version("1-alpha-beta-alpha"), "1aba");
  EXPECT_EQ(python_version("1.0.0-rc.1"), "1.0.0-rc.1");
  EXPECT_EQ(python_version("-alph"), "-alph");
  EXPECT_EQ(python_version(""), "");
}

TEST(Version, PackageVersionIsTheBuildOne) {
  EXPECT_EQ(package_version(), "0.4.3");
}

}  // namespace
}  // namespace quillet
