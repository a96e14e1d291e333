// The file:// transport.
#include "core/transport/builtin.hpp"

namespace sigtap::transport::builtin {

// Registered so that the scheme is known; the transport itself is not built yet.
Result<TransportPtr> file(Endpoint) { return Error::config("the file:// transport is not built yet"); }

}  // namespace sigtap::transport::builtin
