// Read buffers kept for reuse once their packet is gone, so that a replay does not allocate a new
// 64 KiB buffer for every read; one small pool per thread, never shared (so no lock).
#pragma once

#include <cstddef>

#include "core/bytes.hpp"

namespace sigtap::chunk_pool {

/// The size of one read by the stream transports.
inline constexpr std::size_t kChunk = 65536;
/// Buffers a thread keeps at most.
inline constexpr std::size_t kKept = 4;

/// Lends storage for one read on the calling thread (adopted Bytes of at
/// least kChunk bytes of capacity), or returns empty Bytes when it has none
/// to lend. Runs without any lock of the core held.
using Lender = Bytes (*)();

/// kChunk bytes to read into, never cleared: storage from the lender if it
/// has some for this thread, else a buffer given back on this thread
/// (holding what it held) or a new one; the caller overwrites them.
Bytes take();
/// Keeps the storage of `data` for take() when it is its own (not adopted),
/// holds exactly kChunk bytes of capacity and this thread keeps fewer than
/// kKept; either way `data` is left empty.
void give_back(Bytes& data);
/// Installs the lender take() asks first; once, before any read.
void set_lender(Lender lender);

}  // namespace sigtap::chunk_pool
