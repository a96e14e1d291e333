// Lent read buffers: one spare bytes object per thread, made with the interpreter lock and taken by
// the read that follows without it; its reference goes back through release() on any thread.
#include "python/read_buffers.hpp"

#include <cstdint>
#include <utility>

#include "core/transport/transport.hpp"
#include "python/ref.hpp"
#include "python/release_queue.hpp"

namespace sigtap::py {
namespace {

using transport::kReadChunk;

// The thread's spare: a bytes object of kReadChunk bytes nobody else has
// seen, so writing into it is sound until it is handed out.
struct Spare {
  PyObject* bytes = nullptr;
  std::uint8_t* storage = nullptr;
  // A thread that ends with a spare gives it back through the release queue
  // (it may no longer hold the lock, or have a thread state); once the
  // interpreter finalizes it is left to the process's end.
  ~Spare() {
    if (bytes) release_later(bytes);
  }
};
thread_local Spare spare;

void release_lent(void* bytes) { release(static_cast<PyObject*>(bytes)); }

// Runs in the core without the interpreter lock: touches no Python object.
LentStorage lend() {
  if (!spare.bytes) return {};
  PyObject* bytes = std::exchange(spare.bytes, nullptr);
  return LentStorage(spare.storage, kReadChunk, &release_lent, bytes);
}

}  // namespace

void install_read_buffers() { transport::set_read_lender(&lend); }

void prepare_read_buffer() {
  if (spare.bytes) return;
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(kReadChunk));
  if (!bytes) {
    PyErr_Clear();
    return;
  }
  spare.storage = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes));
  spare.bytes = bytes;
}

PyObject* lent_bytes(const PacketBytes& data) {
  const LentBytes* lent = data.lent();
  void* bytes = lent ? lent->context_for(&release_lent) : nullptr;
  return bytes && data.size() == kReadChunk ? static_cast<PyObject*>(bytes) : nullptr;
}

}  // namespace sigtap::py
