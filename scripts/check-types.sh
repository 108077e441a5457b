#!/usr/bin/env bash
# The types stage of scripts/test.sh: installs brindle-stubs (from stubs/) and a
# brindle wheel (from dist/, built by scripts/wheel.sh when missing or older than
# the sources) into .venv/types, then runs mypy --strict on a typed example
# (tests/typing) and mypy's stubtest, which compares the stub with the compiled
# module.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/.venv/types
export PIP_DISABLE_PIP_VERSION_CHECK=1
source scripts/wheel-lib.sh

py=$(python_for 3.13)
[ -n "$py" ] || { echo "check-types: no CPython 3.13 found" >&2; exit 1; }
whl=$(fresh_wheel 3.13) || exit 1

[ -x "$VENV/bin/python" ] || "$py" -m venv "$VENV" || exit 1
# The stub from its source directory, so an edit is always what gets checked.
"$VENV/bin/python" -m pip install -q --force-reinstall --no-deps "$whl" ./stubs &&
  "$VENV/bin/python" -m pip install -q "$whl" "mypy>=1.14" pandas pandas-stubs scikit-learn ||
  { echo "check-types: pip could not install the checkers" >&2; exit 1; }

status=0
echo "--- mypy --strict on tests/typing"
(cd tests/typing && "$VENV/bin/mypy" --strict --warn-unused-ignores --no-incremental .) || status=1
echo "--- stubtest"
# From an empty directory, so that nothing but the installed module is found.
(cd "$VENV" && "$VENV/bin/python" -m mypy.stubtest brindle brindle_books brindle_sklearn) || status=1
exit "$status"
