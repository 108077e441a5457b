#!/usr/bin/env bash
# The docs stage of scripts/test.sh: builds the user documentation (docs/, mkdocs.yml)
# with MkDocs in strict mode, so any warning fails, and runs the examples of its
# pages and of the stub as doctests against a brindle wheel (from dist/, built by
# scripts/wheel.sh when missing or older than the sources). The site goes to
# build/site/.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=$ROOT/.venv/docs
export PIP_DISABLE_PIP_VERSION_CHECK=1
source scripts/wheel-lib.sh

py=$(python_for 3.13)
[ -n "$py" ] || { echo "check-docs: no CPython 3.13 found" >&2; exit 1; }
whl=$(fresh_wheel 3.13) || exit 1

[ -x "$VENV/bin/python" ] || "$py" -m venv "$VENV" || exit 1
"$VENV/bin/python" -m pip install -q --force-reinstall --no-deps "$whl" &&
  "$VENV/bin/python" -m pip install -q "$whl" pandas pytest "mkdocs>=1.6,<2" "mkdocstrings[python]>=0.29" \
    "pymdown-extensions>=10" ||
  { echo "check-docs: pip could not install the documentation tools" >&2; exit 1; }

status=0
echo "--- mkdocs build --strict"
"$VENV/bin/mkdocs" build --strict --clean -d "$ROOT/build/site" || status=1
echo "--- examples"
# The venv's pytest script, not `python -m pytest`: the working directory must not
# come first on sys.path, so that only the installed module is imported.
"$VENV/bin/pytest" -p no:cacheprovider --doctest-glob='*.md' --doctest-glob='*.pyi' \
  -o doctest_optionflags=NORMALIZE_WHITESPACE docs stubs/brindle-stubs || status=1
exit "$status"
