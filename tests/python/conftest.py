"""Shared fixtures of the binding tests: fresh bus names, polling that only catches hangs, child interpreters."""

import contextlib
import glob
import itertools
import subprocess
import sys
import textwrap
import time

import pytest

_names = itertools.count()


@pytest.fixture
def bus():
    return f"mem://test-{next(_names)}"  # a bus of the test's own


@pytest.fixture
def wait_until():
    def wait(predicate, timeout=10):
        deadline = time.monotonic() + timeout
        while not predicate():
            assert time.monotonic() < deadline, "timed out"
            time.sleep(0.005)
    return wait


@pytest.fixture
def library_threads():
    # The names of the library's worker threads now running in this process (they are no Python threads).
    def names():
        found = []
        for path in glob.glob("/proc/self/task/*/comm"):
            with contextlib.suppress(OSError), open(path) as f:  # the thread may end meanwhile
                found.append(f.read().strip())
        return [n for n in found if n in ("sigtap-periodic", "sigtap-subscrip")]
    return names


@pytest.fixture
def run_python():
    # A deadlock at exit fails the test instead of hanging the run, and a crash shows in the status.
    def run(code, timeout=60):
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=timeout)
    return run
