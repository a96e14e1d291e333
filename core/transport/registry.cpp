// The process-wide transport registry, created on first use with the built-in schemes.
#include "core/registry.hpp"
#include "core/transport/builtin.hpp"
#include "core/transport/transport.hpp"

namespace sigtap::transport {
namespace {

// Allocated once and never destroyed: threads and the interpreter may still
// open channels while static destructors run.
Registry<TransportFactory>& registry() {
  static auto* reg = new Registry<TransportFactory>({
      {"file", builtin::file},
      {"mem", builtin::mem},
      {"udp", builtin::udp},
      {"tcp", builtin::tcp},
      {"can", builtin::can},
  });
  return *reg;
}

}  // namespace

Result<TransportPtr> open(std::string_view url) {
  SIGTAP_ASSIGN_OR_RETURN(Endpoint endpoint, Endpoint::parse(url));
  auto factory = registry().find(endpoint.scheme);
  if (!factory) return Error::config(registry().unknown("transport", endpoint.scheme));
  return (*factory)(std::move(endpoint));
}

std::vector<std::string> schemes() { return registry().names(); }

void register_factory(std::string_view scheme, TransportFactory factory) { registry().put(scheme, std::move(factory)); }

}  // namespace sigtap::transport
