// The udp:// transport.
#include "core/transport/builtin.hpp"

namespace sigtap::transport::builtin {

// Registered so that the scheme is known; the transport itself is not built yet.
Result<TransportPtr> udp(Endpoint) { return Error::config("the udp:// transport is not built yet"); }

}  // namespace sigtap::transport::builtin
