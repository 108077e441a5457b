#!/usr/bin/env bash
# Encodes and decodes a real data set (examples/demo.py) with brindle built by
# scripts/setup.sh new. Idempotent; arguments go to the demo (e.g. --scale 1).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(scripts/setup.sh new | tail -n 1)
# The demo's data ships with this PyPI package; install it once.
if ! "$PY" -c 'import palmerpenguins' 2>/dev/null; then
  "$PY" -m pip install -q --disable-pip-version-check palmerpenguins >&2
fi
exec "$PY" examples/demo.py "$@"
