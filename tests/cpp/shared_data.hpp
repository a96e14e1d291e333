// Where the real DBC files and SBF logs are: ../shared/data seen from the
// repository root (ctest runs the tests in the build folder), or SIGTAP_DATA.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace sigtap::test {

inline std::string shared_data(const std::string& relative = "") {
  if (const char* env = std::getenv("SIGTAP_DATA")) return std::string(env) + relative;
  const auto root = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  return (root / "../shared/data").lexically_normal().string() + relative;
}

}  // namespace sigtap::test
