"""Rules the C++ sources keep, checked by reading them.

- The include graph of src/ has no cycle, and every project include is
  written from src/ as the root ("python/scan.hpp", "lib/engine/pool.hpp").
- The engine (src/lib/engine) never reaches the interpreter.
- Worker threads touch Python objects only through worker_reads.hpp: the
  worker-side sources (every *_pool.cpp) name no C API but PyObject, one
  that names PyObject includes that header, and that header names only what
  its own allow-list admits.
"""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[2] / "src"
pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="needs the source tree")

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
C_API = re.compile(r"\b_?Py[A-Za-z0-9_]*\b")
FENCE = "python/worker_reads.hpp"


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".hpp", ".cpp"))


def code_only(text):
    """The text without comments and string literals."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    return re.sub(r'"(?:\\.|[^"\\])*"', '""', text)


def includes(path):
    return INCLUDE.findall(path.read_text())


def test_includes_are_rooted_at_src():
    unresolved = [
        f"{p.relative_to(SRC)}: {inc}" for p in sources() for inc in includes(p) if not (SRC / inc).is_file()
    ]
    assert unresolved == []


def find_cycle(graph):
    """A list of nodes forming a cycle, or None."""
    state = {}

    def visit(node, stack):
        state[node] = "open"
        stack.append(node)
        for nxt in graph.get(node, ()):
            if state.get(nxt) == "open":
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state and (found := visit(nxt, stack)):
                return found
        stack.pop()
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state and (found := visit(node, [])):
            return found
    return None


def test_find_cycle_sees_one():
    assert find_cycle({"a": ["b"], "b": ["c"], "c": ["a"]}) == ["a", "b", "c", "a"]
    assert find_cycle({"a": ["b", "c"], "b": ["c"], "c": []}) is None


def test_include_graph_has_no_cycle():
    # A .cpp and its header count as one node, so that two files including
    # each other's headers show as the cycle they are.
    def node(rel):
        return str(Path(rel).with_suffix(""))

    graph = {}
    for p in sources():
        here = node(p.relative_to(SRC))
        graph.setdefault(here, set()).update(node(inc) for inc in includes(p) if node(inc) != here)
    assert find_cycle(graph) is None


def test_engine_never_reaches_the_interpreter():
    for p in (SRC / "lib" / "engine").rglob("*"):
        if p.suffix not in (".hpp", ".cpp"):
            continue
        assert not [inc for inc in includes(p) if not inc.startswith("lib/engine/")], p.name
        assert "Python.h" not in p.read_text(), p.name
        assert C_API.findall(code_only(p.read_text())) == [], p.name


def allow_list():
    text = (SRC / FENCE).read_text()
    block = re.search(r"Allowed C API names:(.*?)\n#", text, re.S)
    assert block, "worker_reads.hpp states no allow-list"
    return set(re.findall(r"\b\w+\b", block.group(1).replace("//", " ")))


def test_worker_reads_stay_on_their_allow_list():
    used = set(C_API.findall(code_only((SRC / FENCE).read_text())))
    assert used <= allow_list(), sorted(used - allow_list())


def worker_side():
    """Sources whose code runs on the pool's worker threads."""
    return sorted(p for p in SRC.rglob("*_pool.cpp"))


def fence_breaches(text):
    """What a worker-side source names beyond the fence."""
    used = set(C_API.findall(code_only(text)))
    breaches = sorted(used - {"PyObject"})
    if used and FENCE not in INCLUDE.findall(text):
        breaches.append(f"PyObject without {FENCE}")
    return breaches


def test_worker_side_sources_go_through_the_fence():
    found = worker_side()
    assert {p.name for p in found} >= {"block_scan_pool.cpp", "arrow_text_reader_pool.cpp"}
    for p in found:
        text = p.read_text()
        assert fence_breaches(text) == [], p.name
        # The check sees a call planted in this very file.
        planted = text.replace("namespace brindle {", "namespace brindle {\nvoid f(PyObject* o) { PyObject_Str(o); }", 1)
        assert "PyObject_Str" in fence_breaches(planted), p.name
