// Factories of the built-in codecs, as the registry enters them.
#pragma once

#include "core/codec/codec.hpp"

namespace sigtap::codec::builtin {

Result<CodecPtr> raw(CodecSpec spec);
Result<CodecPtr> dbc(CodecSpec spec);
Result<CodecPtr> sbf(CodecSpec spec);

}  // namespace sigtap::codec::builtin
