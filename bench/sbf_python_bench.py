"""SBF replay from Python: sigtap's file:// + sbf channel against the PyPI SBF parsers on the same file.

Run: python bench/sbf_python_bench.py [MEGABYTES]   (needs `pip install sbf-parser pysbf2`)

1. An INS recording: INSNavGeod blocks with every sub-block present (152
   bytes, every value varying) and ExtSensorMeas blocks of three measurement
   sets (100 bytes), one after the other, framed here with their CRC. First
   sigtap alone, microseconds per block: a receive without `.fields`, and
   `.fields` of each of the two blocks (read from messages received
   beforehand); then the replay with `.fields` read for every message
   against sbf-parser on the same file.
2. The real logs in tests/data/sbf/pysbf2/ repeated: sigtap with `.fields`
   read against sbf-parser and pysbf2.
sbf-parser (Cython) runs in a child process, because it has crashed the
interpreter on some real recordings; pysbf2 (pure Python) reads a 1 MB
slice. MB/s, the best of three runs each.
"""

import binascii
import pathlib
import random
import struct
import subprocess
import sys
import tempfile
import time

import sigtap

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data" / "sbf" / "pysbf2"

SBF_PARSER = """
import sys, time
import sbf_parser
start = time.perf_counter()
n = sum(1 for _ in sbf_parser.SbfParser().read(sys.argv[1]))
print(n, time.perf_counter() - start)
"""

PYSBF2 = """
import sys, time
from pysbf2 import SBFReader
start = time.perf_counter()
n = 0
with open(sys.argv[1], "rb") as f:
    for raw, parsed in SBFReader(f, quitonerror=0):
        n += 1
print(n, time.perf_counter() - start)
"""


def frame(number, body):
    """One SBF block: sync, CRC-16/XMODEM of what follows it, id, length, body padded to 4."""
    body += bytes(-(len(body) + 8) % 4)
    rest = struct.pack("<HH", number, len(body) + 8) + body
    return b"$@" + struct.pack("<H", binascii.crc_hqx(rest, 0)) + rest


def ins_unit(pairs=4096):
    rng = random.Random(1)
    out = []
    for i in range(pairs):
        tow = 100 * i
        # INSNavGeod: 48 bytes of fixed fields, then the five keyed sub-blocks
        # and the three covariance ones (SBList = 0xFF), 12 bytes each.
        fixed = struct.pack("<IHBBHHdddfHHBxH", tow, 2367, 4, 0, 0, 0,
                            0.93 + rng.random() * 1e-6, -0.039 + rng.random() * 1e-6, 131.0 + rng.random(),
                            47.5, 12, 5, 0, 0xFF)
        subs = struct.pack("<24f", *(rng.uniform(-1000, 1000) for _ in range(24)))
        out.append(frame(4226, fixed + subs))
        # ExtSensorMeas: N = 3 sets of 28 bytes (source, model, type, info, 24 bytes of data).
        sets = b"".join(struct.pack("<BBBB3d", 0, 0, t, 0, *(rng.uniform(-10, 10) for _ in range(3)))
                        for t in (0, 1, 20))
        out.append(frame(4050, struct.pack("<IHBB", tow + 50, 2367, 3, 28) + sets))
    return b"".join(out)


def sigtap_replay(path):
    start = time.perf_counter()
    blocks = 0
    with sigtap.open(f"file://{path}", "sbf") as replay:
        for message in replay:
            message.fields
            blocks += 1
    return blocks, time.perf_counter() - start


def sigtap_receive_only(path):
    start = time.perf_counter()
    blocks = 0
    with sigtap.open(f"file://{path}", "sbf") as replay:
        for _ in replay:
            blocks += 1
    return (time.perf_counter() - start) / blocks


def sigtap_fields_of(path, name, count=64, rounds=200):
    """Each of `count` received messages in turn, so that every access finds new values, in cache."""
    with sigtap.open(f"file://{path}", "sbf") as replay:
        messages = []
        for m in replay:
            if m.name == name:
                messages.append(m)
                if len(messages) == count:
                    break
    start = time.perf_counter()
    for _ in range(rounds):
        for m in messages:
            m.fields
    return (time.perf_counter() - start) / (rounds * len(messages))


def child(script, path):
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True)
    if done.returncode != 0:
        return None, f"exit status {done.returncode}"
    n, seconds = done.stdout.split()
    return (int(n), float(seconds)), None


def best(runs):
    return min(runs, key=lambda r: r[1])


def report(name, size, result, error=None):
    if error or result is None:
        print(f"{name:10s} failed: {error}")
        return None
    blocks, seconds = result
    print(f"{name:10s} {size / seconds / 1e6:8.1f} MB/s  {blocks:,} blocks")
    return size / seconds


def compare(path, with_pysbf2):
    size = path.stat().st_size
    ours = report("sigtap", size, best([sigtap_replay(path) for _ in range(3)]))
    results = [child(SBF_PARSER, path) for _ in range(3)]
    good = [r for r, e in results if r]
    theirs = report("sbf-parser", size, best(good) if good else None, None if good else results[0][1])
    if theirs:
        print(f"{'ratio':10s} {ours / theirs:8.2f}x")
    if with_pysbf2:
        small = path.with_name("slice.sbf")
        small.write_bytes(path.read_bytes()[: 1_000_000])
        result, error = child(PYSBF2, small)
        report("pysbf2", small.stat().st_size, result, error)


def repeated(unit, megabytes):
    return unit * max(1, int(megabytes * 1e6 // len(unit)))


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 32
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "recording.sbf"
        path.write_bytes(repeated(ins_unit(), megabytes))
        print(f"== INS recording (INSNavGeod and ExtSensorMeas): {path.stat().st_size / 1e6:.1f} MB")
        receive = min(sigtap_receive_only(path) for _ in range(3))
        nav = min(sigtap_fields_of(path, "INSNavGeod") for _ in range(5))
        ext = min(sigtap_fields_of(path, "ExtSensorMeas") for _ in range(5))
        print(f"sigtap per block: receive {receive * 1e6:.2f} us, .fields of INSNavGeod {nav * 1e6:.2f} us, "
              f"of ExtSensorMeas {ext * 1e6:.2f} us")
        compare(path, with_pysbf2=False)

        every = sorted(DATA.glob("*.log"))
        for label, logs in (("all real logs", every), ("sbfdata.log only", [DATA / "sbfdata.log"])):
            path.write_bytes(repeated(b"".join(p.read_bytes() for p in logs), megabytes))
            print(f"== {label}: {path.stat().st_size / 1e6:.1f} MB")
            compare(path, with_pysbf2=True)


if __name__ == "__main__":
    main()
