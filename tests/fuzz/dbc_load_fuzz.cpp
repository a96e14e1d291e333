// seeds: dbc
// Loads arbitrary bytes as a DBC file: any input must end in a database or
// an error, never a crash, a hang or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/dbc/database.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto db = sigtap::dbc::Database::from_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!db.ok()) (void)db.error().fmt();
  return 0;
}
