// Read buffers kept for reuse once their packet is gone, so that a replay does not clear a new
// 64 KiB buffer before every read; one small pool per thread, never shared (so no lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sigtap::chunk_pool {

/// The size of one read by the stream transports.
inline constexpr std::size_t kChunk = 65536;
/// Buffers a thread keeps at most.
inline constexpr std::size_t kKept = 4;

/// kChunk bytes to read into: a buffer given back on this thread, its old
/// bytes left in place (only a tail it lacked is cleared), or a new one.
std::vector<std::uint8_t> take();
/// Keeps the storage of `data` for take() when it holds exactly kChunk bytes
/// of capacity and this thread keeps fewer than kKept; either way `data` is
/// left empty.
void give_back(std::vector<std::uint8_t>& data);

}  // namespace sigtap::chunk_pool
