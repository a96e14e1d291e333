// The process-wide codec registry, created on first use with the built-in codecs.
#include "core/codec/builtin.hpp"
#include "core/codec/codec.hpp"
#include "core/registry.hpp"

namespace sigtap::codec {
namespace {

// Allocated once and never destroyed (see the transport registry).
Registry<CodecFactory>& registry() {
  static auto* reg = new Registry<CodecFactory>({
      {"raw", builtin::raw},
      {"dbc", builtin::dbc},
      {"sbf", builtin::sbf},
  });
  return *reg;
}

}  // namespace

Result<CodecPtr> open(std::string_view spec, Options options) {
  SIGTAP_ASSIGN_OR_RETURN(CodecSpec parsed, CodecSpec::parse(spec, std::move(options)));
  auto factory = registry().find(parsed.name);
  if (!factory) return Error::config(registry().unknown("codec", parsed.name));
  return (*factory)(std::move(parsed));
}

std::vector<std::string> names() { return registry().names(); }

void register_factory(std::string_view name, CodecFactory factory) { registry().put(name, std::move(factory)); }

}  // namespace sigtap::codec
