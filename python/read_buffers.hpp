// Read buffers lent to the core: a file:// read lands in the storage of a new bytes object, which
// `.data` then hands out as it is instead of copying the chunk once more.
#pragma once

#include "core/bytes.hpp"
#include "python/py.hpp"

namespace sigtap::py {

/// Installs the read lender of the core (transport::set_read_lender); once,
/// at module set-up.
void install_read_buffers();
/// Makes sure the calling thread has a bytes object to lend to its next
/// read. Called with the interpreter lock held, before a receive that
/// releases it on a channel that reads chunks; a failed allocation only
/// means that read uses storage of its own.
void prepare_read_buffer();
/// The bytes object whose storage `data` is, when that is a lent buffer the
/// read filled to its end; nullptr otherwise. A borrowed reference; needs
/// the interpreter lock.
PyObject* lent_bytes(const PacketBytes& data);

}  // namespace sigtap::py
