"""Shared fixtures of the binding tests: fresh bus names, polling that only catches hangs, child interpreters."""

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
def run_python():
    # A deadlock at exit fails the test instead of hanging the run, and a crash shows in the status.
    def run(code, timeout=60):
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=timeout)
    return run
