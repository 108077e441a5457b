"""The sorted runs brindle_dask merges: brindle_books' merge against sorted(set()) of
UTF-8 bytes, and runs that lie about themselves refused."""

import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import brindle_books


def run_of(labels):
    data = sorted({s.encode("utf-8", "surrogatepass") for s in labels})
    ends, end = [], 0
    for b in data:
        end += len(b)
        ends.append(end)
    return b"".join(data), struct.pack(f"={len(ends)}Q", *ends)


def labels_of(run):
    blob, offsets = run
    ends = struct.unpack(f"={len(offsets) // 8}Q", offsets)
    return [blob[a:b] for a, b in zip((0, *ends), ends)]


# Prefixes of one another, the empty label, NUL and bytes above 0x7f.
label = st.text(alphabet=st.sampled_from(["a", "b", "\0", "é", "z", "\U0001f600"]), max_size=4)


@given(st.lists(st.lists(label, max_size=8), max_size=6))
def test_merge_is_the_sorted_union_in_byte_order(sets):
    merged = brindle_books._merge_runs([run_of(s) for s in sets])
    want = sorted({s.encode() for labels in sets for s in labels})
    assert labels_of(merged) == want
    assert brindle_books._run_labels(merged) == [b.decode() for b in want]


def test_str_run_reads_cells_as_a_text_column_does():
    # Markers out, lone surrogates repaired, one entry per text.
    assert labels_of(brindle_books._str_run([2.0, True, "nan", "b", None, "b", "\ud800"])) == [
        b"2.0", b"None", b"True", b"b", "\ufffd\ufffd\ufffd".encode()]


@pytest.mark.parametrize("run", [
    (b"ab", struct.pack("=2Q", 2, 1)),         # ends go back
    (b"ab", struct.pack("=1Q", 3)),            # past the bytes
    (b"ab", struct.pack("=1Q", 1)),            # bytes beyond the last label
    (b"ba", struct.pack("=2Q", 1, 2)),         # not ascending
    (b"aa", struct.pack("=2Q", 1, 2)),         # repeated
    (b"ab", b"\x01\x00"),                      # not whole uint64s
    ("ab", b""),                               # not bytes
])
def test_runs_that_lie_are_refused(run):
    with pytest.raises(ValueError):
        brindle_books._merge_runs([run])
    with pytest.raises(ValueError):
        brindle_books._fitted_from_runs([run])


def test_fitted_from_runs_refuses_markers_and_bad_utf8():
    for bad in ([b"NaN"], [b"\xff"]):
        with pytest.raises(ValueError):
            brindle_books._fitted_from_runs([run_of_bytes(bad)])
    fitted = brindle_books._fitted_from_runs([run_of(["b", "a"]), None])
    assert fitted == brindle_books.FittedEncoder.from_categories([["a", "b"], None])


def run_of_bytes(data):
    ends, end = [], 0
    for b in data:
        end += len(b)
        ends.append(end)
    return b"".join(data), struct.pack(f"={len(ends)}Q", *ends)
