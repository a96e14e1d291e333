// The sbf codec (the block stream of GNSS receivers).
#include "core/codec/builtin.hpp"

namespace sigtap::codec::builtin {

// Registered so that the name is known; the codec itself is not built yet.
Result<CodecPtr> sbf(CodecSpec) { return Error::config("the sbf codec is not built yet"); }

}  // namespace sigtap::codec::builtin
