"""file:// replay: a full chunk is read straight into the bytes object that `.data` hands out."""

import gc
import os
import tracemalloc

from sigtap._sigtap import _open

CHUNK = 65536


def test_replayed_chunks_cost_one_buffer_each_with_their_data_kept(tmp_path):
    # Messages and their `.data` kept alive: a copy of each chunk for `.data`
    # would hold two buffers per chunk where the read's own buffer is one.
    chunks = 16
    content = os.urandom(chunks * CHUNK + 100)
    path = tmp_path / "replay.bin"
    path.write_bytes(content)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        with _open(f"file://{path}") as ch:
            kept = [(m, m.data) for m in ch]
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert b"".join(data for _, data in kept) == content
    assert [len(data) for _, data in kept] == [CHUNK] * chunks + [100]
    assert all(m.data is data for m, data in kept)
    assert held < 1.5 * chunks * CHUNK, held
