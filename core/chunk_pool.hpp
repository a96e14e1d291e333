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

/// kChunk bytes to read into, never cleared: a buffer given back on this
/// thread (holding what it held) or a new one; the caller overwrites them.
Bytes take();
/// Keeps the storage of `data` for take() when it holds exactly kChunk bytes
/// of capacity and this thread keeps fewer than kKept; either way `data` is
/// left empty.
void give_back(Bytes& data);

}  // namespace sigtap::chunk_pool
