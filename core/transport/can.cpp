// The can:// scheme: SocketCAN is not part of this library; the scheme is
// registered so that scripts get a pointer to mem:// instead of "unknown transport".
#include "core/transport/builtin.hpp"

namespace sigtap::transport::builtin {

Result<TransportPtr> can(Endpoint) {
  return Error::config("can:// (SocketCAN) is only available on Linux; mem:// works everywhere");
}

}  // namespace sigtap::transport::builtin
