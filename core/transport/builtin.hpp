// Factories of the built-in transports, as the registry enters them.
#pragma once

#include "core/transport/transport.hpp"

namespace sigtap::transport::builtin {

Result<TransportPtr> file(Endpoint endpoint);
Result<TransportPtr> mem(Endpoint endpoint);
Result<TransportPtr> udp(Endpoint endpoint);
Result<TransportPtr> tcp(Endpoint endpoint);
Result<TransportPtr> can(Endpoint endpoint);

}  // namespace sigtap::transport::builtin
