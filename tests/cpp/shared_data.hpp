// Where the real DBC files and SBF logs the tests share are: tests/data of this
// repository (ctest runs the tests in the build folder), or the folder
// SIGTAP_DATA names.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace sigtap::test {

inline std::string shared_data(const std::string& relative = "") {
  if (const char* env = std::getenv("SIGTAP_DATA")) return std::string(env) + relative;
  return (std::filesystem::path(__FILE__).parent_path().parent_path() / "data").lexically_normal().string() + relative;
}

}  // namespace sigtap::test
