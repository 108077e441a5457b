"""An installed wheel runs on its own libraries: run by scripts/check-wheels.sh.

The check script hides the system's oneTBB and abseil (a private mount namespace
binds /dev/null over them) and lists them in BRINDLE_HIDDEN_LIBS.
"""

import ctypes
import os
import pathlib
import sys

import numpy as np
import pytest

import brindle

MODULE = pathlib.Path(brindle.__file__).resolve()
BUNDLED = MODULE.parent / "brindle.libs"

pytestmark = pytest.mark.skipif(not BUNDLED.is_dir(), reason="brindle is not installed from a wheel")


def mapped_libraries():
    paths = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and ".so" in fields[5]:
                paths.add(pathlib.Path(fields[5].strip()))
    return paths


def test_module_comes_from_the_environment():
    assert MODULE.is_relative_to(pathlib.Path(sys.prefix).resolve())


def test_tbb_allocator_and_abseil_are_the_bundled_ones():
    # Start the pool and code through the hash maps, so everything is loaded.
    x = np.array([["b", 1.0], ["a", 2.0], ["nan", 3.0]] * 1000, dtype=object)
    assert brindle.Encoder().encode(x)[:3, 0].tolist()[:2] == [1.0, 0.0]
    ours = {p for p in mapped_libraries() if p.name.startswith(("libtbb", "libabsl_"))}
    outside = sorted(str(p) for p in ours if p.parent != BUNDLED)
    assert not outside, f"loaded from outside the wheel: {outside}"
    names = {p.name for p in ours}
    assert "libtbbmalloc.so.2" in names  # TBB found its allocator beside itself
    assert any(n.startswith("libtbb-") for n in names)
    assert any(n.startswith("libabsl_raw_hash_set-") for n in names)


HIDDEN = [p for p in os.environ.get("BRINDLE_HIDDEN_LIBS", "").split(":") if p]


@pytest.mark.skipif(not HIDDEN, reason="the system's libraries are not hidden")
def test_system_libraries_are_hidden():
    # Proof that the suite ran without them: none of them loads.
    names = " ".join(pathlib.Path(p).name for p in HIDDEN)
    assert "libtbb.so" in names and "libtbbmalloc.so" in names and "libabsl_" in names
    for path in HIDDEN:
        with pytest.raises(OSError):
            ctypes.CDLL(path)
