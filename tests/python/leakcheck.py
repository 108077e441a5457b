"""The leak rule every leak test uses.

A case is one small mix of calls, repeated in blocks after a warm-up. A signal
counts as a leak only when it grows in every block (the rule of CPython's regrtest),
so that a cache that fills once, or a pool that starts on first use, passes.

Signals:
- the reference counts of the watched objects (inputs, their cells, the objects a
  call handles: the Encoder, its type, the values of its arguments);
- sys.getallocatedblocks(): Python objects leaked by any path (it counts 0 under
  PYTHONMALLOC=malloc, where the sanitizer run takes over). Under pytest it wanders
  by tens of blocks around raised exceptions, however long the block, so a block
  counts as grown only past half a block per call: a leaking path leaks every time;
- resident memory from /proc/self/statm, with some slack per block: native memory
  (matrices, code books) leaked. Skipped under AddressSanitizer (BRINDLE_ASAN=1),
  whose quarantine grows resident memory on clean code.
Each watched object must also end holding exactly the references it held before
the warm-up: that catches a reference taken once and never given back.
"""

import array
import gc
import os
import sys

import numpy as np
import pandas as pd

BLOCKS = 4
CALLS = 200
WARMUP = 20
RSS_SLACK = 1 << 20  # bytes a block may add without a leak being suspected
UNDER_ASAN = os.environ.get("BRINDLE_ASAN") == "1"
PAGE = os.sysconf("SC_PAGE_SIZE")


def fresh(text):
    """A str equal to text that is neither interned nor immortal, so its count moves."""
    return "".join(list(text))


def refuse(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn!r} did not raise {exc.__name__}")


def rss():
    with open("/proc/self/statm", "rb") as f:
        return int(f.read().split()[1]) * PAGE


def measure(once, watched, calls=CALLS, warmup=WARMUP):
    """Runs the blocks; returns (reference deltas per watched object, block deltas,
    resident-memory deltas), each a list of BLOCKS numbers."""
    for _ in range(warmup):
        once()
    # Records live in arrays allocated up front: storing a number there creates no
    # object that outlives the measurement, so the bookkeeping cannot look like a leak.
    n = len(watched)
    refs = array.array("q", [0] * (n * (BLOCKS + 1)))
    blocks = array.array("q", [0] * (BLOCKS + 1))
    memory = array.array("q", [0] * (BLOCKS + 1))
    indices = range(n)
    loop = range(calls)
    for b in range(BLOCKS + 1):
        if b:
            for _ in loop:
                once()
        gc.collect()
        memory[b] = rss()
        for i in indices:
            refs[b * n + i] = sys.getrefcount(watched[i])
        blocks[b] = sys.getallocatedblocks()

    def deltas(seq, stride=1, offset=0):
        return [seq[(b + 1) * stride + offset] - seq[b * stride + offset] for b in range(BLOCKS)]

    return [deltas(refs, n, i) for i in indices], deltas(blocks), deltas(memory)


def check(once, watched, calls=CALLS, warmup=WARMUP):
    """Fails when a signal grows in every block, or a watched object's count moved
    over the whole run; names the object."""
    gc.collect()  # garbage of earlier tests may still hold some of them
    before = [sys.getrefcount(watched[i]) for i in range(len(watched))]
    ref_deltas, block_deltas, memory_deltas = measure(once, watched, calls, warmup)
    # Counted by index before any loop below binds a watched object to a name.
    after = [sys.getrefcount(watched[i]) for i in range(len(watched))]
    problems = []
    for obj, d in zip(watched, ref_deltas):
        if all(x >= 1 for x in d):
            problems.append(f"references to {type(obj).__name__} {short(obj)} grew by {d}")
    if all(x >= max(1, calls // 2) for x in block_deltas):
        problems.append(f"allocated blocks grew by {block_deltas}")
    if not UNDER_ASAN and all(x > RSS_SLACK for x in memory_deltas):
        problems.append(f"resident memory grew by {memory_deltas} bytes")
    for obj, was, now in zip(watched, before, after):
        if now != was:
            problems.append(f"references to {type(obj).__name__} {short(obj)} went from {was} to {now}")
    assert not problems, f"leak over {BLOCKS} blocks of {calls} calls: " + "; ".join(problems)


def short(obj):
    if isinstance(obj, (np.ndarray, pd.DataFrame)):
        return f"of shape {obj.shape} at {id(obj):#x}"
    text = repr(obj)
    return text if len(text) < 60 else text[:57] + "..."
