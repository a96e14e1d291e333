"""The C++ value and decimal forms of floats against Python's own: repr() with a compact exponent, and a
positional form that reads back to the same bits with the same significant digits."""

import math
import os
import random
import re
import struct
import subprocess

import pytest

DUMP = os.environ.get("SIGTAP_TEXT_FORMS_DUMP")
EDGE_VALUES = [0.0, -0.0, 1.0, -1.0, 0.5, 0.1, 1e-4, 9e-5, 1e16, 1e21, 1e22, 1e300, 2.0**53,
               math.nextafter(1e16, 0.0), math.nextafter(1e-4, 0.0), math.nextafter(1e-4, 1.0),
               5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, math.inf, -math.inf, math.nan]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def significant_digits(text):
    return re.sub(r"e.*", "", text).replace("-", "").replace(".", "").strip("0")


@pytest.mark.skipif(not DUMP, reason="SIGTAP_TEXT_FORMS_DUMP is not set to the text_forms_dump executable")
def test_forms_match_python():
    rng = random.Random(20240607)
    patterns = [bits(x) for x in EDGE_VALUES] + [rng.getrandbits(64) for _ in range(3000)]
    # Near the notation switch points, and tiny subnormals: uniform bit patterns rarely hit them.
    patterns += [bits(rng.uniform(1, 10) * 10.0**e) for e in (-5, -4, 15, 16) for _ in range(100)]
    patterns += [rng.getrandbits(20) | (rng.getrandbits(1) << 63) for _ in range(100)]
    lines = subprocess.run([DUMP], input="\n".join(f"{p:016x}" for p in patterns), capture_output=True, text=True,
                           check=True).stdout.splitlines()
    assert len(lines) == len(patterns)
    for pattern, line in zip(patterns, lines):
        x = struct.unpack("<d", struct.pack("<Q", pattern))[0]
        echoed, value_form, decimal_form = line.split(" ")
        expected = "NaN" if math.isnan(x) else re.sub(r"e\+?(-?)0*(\d)", r"e\1\2", repr(x))
        assert (int(echoed, 16), value_form) == (pattern, expected), line
        if not math.isfinite(x):
            assert decimal_form == value_form, line
            continue
        # Positional, no exponent, no leading or trailing zeros to spare.
        assert re.fullmatch(r"-?(0|[1-9][0-9]*)(\.[0-9]*[1-9])?", decimal_form), line
        assert bits(float(decimal_form)) == pattern, line
        assert significant_digits(decimal_form) == significant_digits(repr(x)), line
