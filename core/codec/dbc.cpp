// The dbc codec (CAN frames through a DBC database).
#include "core/codec/builtin.hpp"

namespace sigtap::codec::builtin {

// Registered so that the name is known; the codec itself is not built yet.
Result<CodecPtr> dbc(CodecSpec) { return Error::config("the dbc codec is not built yet"); }

}  // namespace sigtap::codec::builtin
