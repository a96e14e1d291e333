"""DBC decoding from Python: sigtap's dbc: channel on mem:// against cantools' Database.decode_message.

Run: python bench/dbc_python_bench.py [DBC_FILE]   (needs `pip install cantools`)

1. The same frames (random payloads of every message of the file that both
   libraries decode) are queued on a mem:// hub beforehand; sigtap receives
   and decodes them through a `dbc:` channel and reads `.fields` of each;
   cantools decodes the same (id, bytes) pairs in memory. Frames/s, the best
   of three runs each, and the ratio: once with one payload per message,
   repeated, and once with a fresh payload for every frame (no value
   repeats from one frame of a message to the next).
2. Load time of the largest file in tests/data/dbc/opendbc/ (sigtap opens
   a dbc: channel; cantools' load_file).
"""

import pathlib
import random
import sys
import time

import cantools

import sigtap

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data" / "dbc" / "opendbc"
BATCH = 50_000  # below the mem:// queue capacity, so nothing is dropped


def payload(db, m, rng):
    """A random payload of the message that cantools decodes, or None."""
    data = rng.randbytes(m.length)
    try:
        db.decode_message(m.frame_id, data)
    except Exception:  # a multiplexer value the file does not define
        return None
    return data


def frames_for(path, count, fresh):
    db = cantools.database.load_file(str(path), strict=False)
    rng = random.Random(1)
    usable = [(m, data) for m in db.messages if (data := payload(db, m, rng)) is not None]
    frames = []
    for i in range(count):
        m, data = usable[i % len(usable)]
        if fresh:
            data = payload(db, m, rng) or data
        frames.append((m.frame_id, m.is_extended_frame, data))
    return db, frames


def sigtap_rate(path, frames):
    codec = f"dbc:{path}"
    with sigtap.open("mem://dbc-bench") as tx, sigtap.open("mem://dbc-bench", codec) as rx:
        messages = [sigtap.Message(data=d, id=i, extended=e) for i, e, d in frames]
        for m in messages:
            tx.send(m)
        recv = rx.recv
        start = time.perf_counter()
        for _ in range(len(frames)):
            recv(0).fields
        return len(frames) / (time.perf_counter() - start)


def cantools_rate(db, frames):
    decode = db.decode_message
    start = time.perf_counter()
    for frame_id, _, data in frames:
        decode(frame_id, data)
    return len(frames) / (time.perf_counter() - start)


def best(fn, *args):
    return max(fn(*args) for _ in range(3))


def main():
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DATA / "vw_mqb.dbc"
    for label, fresh in (("one payload per message", False), ("a fresh payload per frame", True)):
        db, frames = frames_for(path, BATCH, fresh)
        ours = best(sigtap_rate, path, frames)
        theirs = best(cantools_rate, db, frames)
        print(f"decode {path.name}, {label}: sigtap {ours:,.0f} frames/s ({1e6 / ours:.2f} us), "
              f"cantools {theirs:,.0f} frames/s ({1e6 / theirs:.2f} us), ratio {ours / theirs:.1f}x")

    largest = max(DATA.glob("*.dbc"), key=lambda p: p.stat().st_size)
    start = time.perf_counter()
    sigtap.open("mem://dbc-load", f"dbc:{largest}").close()
    ours = time.perf_counter() - start
    start = time.perf_counter()
    cantools.database.load_file(str(largest), strict=False)
    theirs = time.perf_counter() - start
    print(f"load {largest.name} ({largest.stat().st_size:,} bytes): sigtap {ours * 1e3:.1f} ms, "
          f"cantools {theirs * 1e3:.1f} ms, ratio {theirs / ours:.1f}x")


if __name__ == "__main__":
    main()
