#!/usr/bin/env bash
# Runs brindle beside pandas, scikit-learn, polars and pyarrow (bench/peers.py).
#
#   scripts/bench.sh [--quick] [--only TEXT] [--out DIR] [--repeat N]
#   scripts/bench.sh --frames [--quick] [--only TEXT] [--repeat N] [--json FILE]
#                                       (bench/frames_bench.py: real-table frames)
#
# Builds brindle into .venv/new through scripts/setup.sh, then runs the bench in
# .venv/bench: a venv on the same interpreter that sees .venv/new's packages through
# a .pth file and holds the peers and its own copy of the built module. The peers
# stay out of the test environment: pyarrow there would switch pandas' default
# string storage under the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PEERS=(scikit-learn polars pyarrow matplotlib palmerpenguins)
export PIP_DISABLE_PIP_VERSION_CHECK=1

NEW_PY=$(bash scripts/setup.sh new | tail -n 1)
[ -x "$NEW_PY" ] || { echo "bench.sh: setup.sh new gave no python ('$NEW_PY')" >&2; exit 1; }
read -r BASE SITE VER < <("$NEW_PY" -c 'import sys, sysconfig
print(sys._base_executable, sysconfig.get_path("purelib"), "%d.%d" % sys.version_info[:2])')

VENV=$ROOT/.venv/bench
BPY=$VENV/bin/python
if [ ! -x "$BPY" ] || [ "$("$BPY" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" != "$VER" ]; then
  echo "[bench] creating $VENV with $BASE" >&2
  rm -rf "$VENV"
  "$BASE" -m venv "$VENV" >&2
fi
BSITE=$("$BPY" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
echo "$SITE" >"$BSITE/brindle-new.pth"
# A private copy of the module, ahead of the .pth path: a rebuild of .venv/new while
# the bench runs must not change the module under later workers.
cp -f "$SITE"/brindle.*.so "$BSITE"/
if ! "$BPY" -c 'import brindle, sklearn, polars, pyarrow, matplotlib, palmerpenguins' 2>/dev/null; then
  echo "[bench] installing ${PEERS[*]}" >&2
  "$BPY" -m pip install -q "${PEERS[@]}" >&2
fi
if [ "${1:-}" = --frames ]; then
  shift
  exec "$BPY" bench/frames_bench.py "$@"
fi
exec "$BPY" bench/peers.py "$@"
