"""SBF replay from Python: sigtap's file:// + sbf channel against the PyPI SBF parsers on the same file.

Run: python bench/sbf_python_bench.py [MEGABYTES]   (needs `pip install sbf-parser pysbf2`)

A recording is made by repeating the real logs in tests/data/sbf/pysbf2/.
sigtap replays it with `.fields` read for every message; sbf-parser (Cython)
parses the same file, in a child process because it has crashed the
interpreter on some real recordings; pysbf2 (pure Python) reads a slice.
MB/s, the best of three runs each.
"""

import pathlib
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


def sigtap_replay(path):
    start = time.perf_counter()
    blocks = 0
    with sigtap.open(f"file://{path}", "sbf") as replay:
        for message in replay:
            message.fields
            blocks += 1
    return blocks, time.perf_counter() - start


def child(script, path):
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True)
    if done.returncode != 0:
        return None, f"exit status {done.returncode}"
    n, seconds = done.stdout.split()
    return (int(n), float(seconds)), None


def best(runs):
    return min(runs, key=lambda r: r[1])


def report(name, size, result, error=None):
    if error:
        print(f"{name:10s} failed: {error}")
    else:
        blocks, seconds = result
        print(f"{name:10s} {size / seconds / 1e6:8.1f} MB/s  {blocks:,} blocks")


def make_recording(folder, logs, megabytes):
    unit = b"".join(p.read_bytes() for p in logs)
    path = pathlib.Path(folder) / "recording.sbf"
    path.write_bytes(unit * max(1, int(megabytes * 1e6 // len(unit))))
    return path


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 32
    every = sorted(DATA.glob("*.log"))
    with tempfile.TemporaryDirectory() as folder:
        for label, logs in (("all real logs", every), ("sbfdata.log only", [DATA / "sbfdata.log"])):
            path = make_recording(folder, logs, megabytes)
            size = path.stat().st_size
            print(f"== {label}: {size / 1e6:.1f} MB")
            report("sigtap", size, best([sigtap_replay(path) for _ in range(3)]))
            results = [child(SBF_PARSER, path) for _ in range(3)]
            good = [r for r, e in results if r]
            report("sbf-parser", size, best(good) if good else None, None if good else results[0][1])
            small = pathlib.Path(folder) / "slice.sbf"
            small.write_bytes(path.read_bytes()[: 1_000_000])
            result, error = child(PYSBF2, small)
            report("pysbf2", small.stat().st_size, result, error)


if __name__ == "__main__":
    main()
