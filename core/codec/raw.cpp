// The raw codec.
#include "core/codec/raw.hpp"

#include "core/codec/builtin.hpp"
#include "core/text.hpp"

namespace sigtap {

Result<CodecPtr> Raw::open(CodecSpec spec) {
  if (spec.argument) return Error::config("the raw codec takes no argument");
  SIGTAP_TRY(spec.options.finish("the raw codec"));
  return CodecPtr(std::make_unique<Raw>());
}

Result<std::vector<Packet>> Raw::encode(const Message& message) {
  return Error::encode("the raw codec has no named messages (" + quoted(message.name.value_or("")) +
                       "); send data instead");
}

Status Raw::decode(Packet packet, std::vector<Message>& out) {
  out.emplace_back().packet = std::move(packet);
  return {};
}

namespace codec::builtin {
Result<CodecPtr> raw(CodecSpec spec) { return Raw::open(std::move(spec)); }
}  // namespace codec::builtin

}  // namespace sigtap
