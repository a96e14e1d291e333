"""DBC decoding from Python: sigtap's dbc: channel on mem:// against cantools' Database.decode_message.

Run: python bench/dbc_python_bench.py [DBC_FILE]   (needs `pip install cantools`)

1. The same frames (random payloads of every message of the file that both
   libraries decode) are queued on a mem:// hub beforehand; sigtap receives
   and decodes them through a `dbc:` channel and reads `.fields` of each;
   cantools decodes the same (id, bytes) pairs in memory. Frames/s, the best
   of three runs each, and the ratio.
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


def frames_for(path, count):
    db = cantools.database.load_file(str(path), strict=False)
    rng = random.Random(1)
    usable = []
    for m in db.messages:
        data = bytes(rng.randrange(256) for _ in range(m.length))
        try:
            db.decode_message(m.frame_id, data)
        except Exception:  # a multiplexer value the file does not define
            continue
        usable.append((m.frame_id, m.is_extended_frame, data))
    frames = [usable[i % len(usable)] for i in range(count)]
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
    db, frames = frames_for(path, BATCH)
    ours = best(sigtap_rate, path, frames)
    theirs = best(cantools_rate, db, frames)
    print(f"decode {path.name}: sigtap {ours:,.0f} frames/s ({1e6 / ours:.2f} us), "
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
