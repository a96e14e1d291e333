// Where the real DBC files and SBF logs the tests and benchmarks read are:
// tests/data of this repository, wherever the build runs.
#pragma once

#include <filesystem>
#include <string>

namespace sigtap::test {

inline std::string test_data(const std::string& relative = "") {
  return (std::filesystem::path(__FILE__).parent_path().parent_path() / "data").lexically_normal().string() + relative;
}

}  // namespace sigtap::test
