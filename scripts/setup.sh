#!/usr/bin/env bash
# Prepares a virtual environment with brindle built into it. Idempotent.
#
#   scripts/setup.sh [new|old|asan|dask|asan-arrow]
#     new   newest CPython >= 3.12 found here, newest NumPy 2.x, pandas, pyarrow, scikit-learn
#           and polars (default)
#     old   CPython 3.12 with NumPy 1.26.x and pandas 2.2.x (oldest supported), and Dask
#     asan  like new, with the extension built under AddressSanitizer + UBSan
#     dask  new's packages plus Dask, in a venv of its own (no build of its own)
#     asan-arrow  asan's packages and build plus pyarrow, in a venv of its own
# Prints the environment's python path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
FLAVOUR=${1:-new}
# Two cores, shared: never compile wider than that.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

say() { echo "[setup:$FLAVOUR] $*" >&2; }
die() { echo "[setup:$FLAVOUR] error: $*" >&2; exit 1; }

# --- Debian packages the build needs -----------------------------------------
source scripts/apt-deps.sh
ensure_apt "${ENGINE_APT_PACKAGES[@]}" || die "could not install the Debian packages the build needs"

# --- interpreter --------------------------------------------------------------
# Candidates: pyenv's versions, then Debian's and PATH's python3.1x.
candidates() {
  local root
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  ls -d "$root"/versions/3.*/bin/python3 2>/dev/null || true
  for v in 3.19 3.18 3.17 3.16 3.15 3.14 3.13 3.12; do
    for p in "/usr/bin/python$v" "/usr/local/bin/python$v"; do [ -x "$p" ] && echo "$p"; done
  done
  return 0
}
pick_python() {  # $1: exact minor like 3.12, or "newest"
  local best="" best_ver=0 p ver
  while read -r p; do
    [ -x "$p" ] || continue
    ver=$("$p" -c 'import sys; v=sys.version_info; print(v[0]*10000+v[1]*100+v[2] if v>=(3,12) else 0)' 2>/dev/null || echo 0)
    [ "$ver" -gt 0 ] || continue
    if [ "$1" != newest ]; then
      local want=$(( ${1%%.*} * 10000 + ${1#*.} * 100 ))
      [ "$ver" -ge "$want" ] && [ "$ver" -lt $((want + 100)) ] || continue
    fi
    "$p" -c 'import venv, ensurepip' 2>/dev/null || continue
    if [ "$ver" -gt "$best_ver" ]; then best=$p; best_ver=$ver; fi
  done < <(candidates)
  echo "$best"
}

case "$FLAVOUR" in
  # new and asan follow the newest releases, as a fresh machine would get them.
  # new adds pyarrow, so the suite sees the frames users get by default (text
  # columns Arrow-backed), polars for the fitted encoder's Arrow tables and
  # scikit-learn for its estimator; asan leaves them out and covers pandas
  # without pyarrow.
  new) PY=$(pick_python newest); REQS=(--upgrade "numpy>=2,<3" pandas pyarrow polars pytest hypothesis scikit-learn) ;;
  asan) PY=$(pick_python newest); REQS=(--upgrade "numpy>=2,<3" pandas pytest hypothesis) ;;
  # Dask for brindle_dask's tests; its pyarrow leaves pandas 2.2's string storage alone
  # (pyarrow 22 and newer refuse NumPy 1.x at import).
  old) PY=$(pick_python 3.12)
       REQS=("numpy==1.26.*" "pandas==2.2.*" pytest hypothesis "dask[dataframe]" distributed "pyarrow<22") ;;
  dask|asan-arrow) PY="" ;;
  *) die "unknown environment '$FLAVOUR' (use new, old, asan, asan-arrow or dask)" ;;
esac

# --- dask and asan-arrow: another venv's packages plus a few ----------------------
# Dask's dataframe needs pyarrow, and pyarrow in .venv/new would switch pandas 3's
# default string storage under every other test there. So brindle_dask's tests on the
# newest versions run in a venv on .venv/new's interpreter that sees .venv/new's
# packages (the built brindle and brindle_dask included) through a .pth file.
# asan-arrow is .venv/asan plus pyarrow, made the same way, for the entry-point
# fuzzer's Arrow plans (frames whose Arrow buffers lie): pyarrow in .venv/asan itself
# would switch that string storage under the asan stage's tests, which cover pandas
# without pyarrow; beside it, the one ASan build serves both. BRINDLE_ASAN_PYTHON
# names .venv/asan's python when the caller has just set it up.
if [ "$FLAVOUR" = dask ] || [ "$FLAVOUR" = asan-arrow ]; then
  ON=new EXTRA=("dask[dataframe]" distributed)
  [ "$FLAVOUR" = asan-arrow ] && ON=asan EXTRA=(pyarrow)
  if [ "$ON" = asan ] && [ -n "${BRINDLE_ASAN_PYTHON:-}" ]; then
    NEW_PY=$BRINDLE_ASAN_PYTHON
  else
    NEW_PY=$(bash scripts/setup.sh "$ON" | tail -n 1)
  fi
  [ -x "$NEW_PY" ] || die "setup.sh $ON gave no python ('$NEW_PY')"
  read -r BASE SITE VER < <("$NEW_PY" -c 'import sys, sysconfig
print(sys._base_executable, sysconfig.get_path("purelib"), "%d.%d" % sys.version_info[:2])')
  VENV=$ROOT/.venv/$FLAVOUR
  VPY=$VENV/bin/python
  if [ ! -x "$VPY" ] || [ "$("$VPY" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" != "$VER" ]; then
    say "creating $VENV with $BASE"
    rm -rf "$VENV"
    "$BASE" -m venv "$VENV" >&2
  fi
  echo "$SITE" >"$("$VPY" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/brindle-$ON.pth"
  export PIP_DISABLE_PIP_VERSION_CHECK=1
  "$VPY" -m pip install -q --upgrade "${EXTRA[@]}" >&2 || die "pip could not install ${EXTRA[*]}"
  echo "$VPY"
  exit 0
fi
[ -n "$PY" ] || die "no CPython >= 3.12 with venv found (looked in pyenv's versions and /usr/bin)"

VENV=$ROOT/.venv/$FLAVOUR
if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys' 2>/dev/null; then
  say "creating $VENV with $PY"
  rm -rf "$VENV"
  "$PY" -m venv "$VENV" >&2
fi
VPY=$VENV/bin/python
export PIP_DISABLE_PIP_VERSION_CHECK=1
"$VPY" -m pip install -q --upgrade pip >&2
"$VPY" -m pip install -q "${REQS[@]}" >&2 || die "pip could not install ${REQS[*]}"

# --- build brindle into the environment -----------------------------------------
BUILD_ARGS=()
if [ "$FLAVOUR" = asan ]; then
  BUILD_ARGS=(-C "build-dir=build/asan-{wheel_tag}" -C cmake.build-type=RelWithDebInfo
              -C "cmake.define.BRINDLE_SANITIZE=address,undefined")
fi
# The same sources built the same way into this environment are not built again (the
# dask stage sets up new's environment a second time): a stamp keeps a digest of what
# the build reads.
STAMP=$VENV/.brindle-build
digest=$({
  printf '%s\n' "${BUILD_ARGS[@]}" "$("$VPY" -c 'import sys; print(sys.version)')"
  find "$ROOT/src" "$ROOT/CMakeLists.txt" "$ROOT/pyproject.toml" "$ROOT/README.pypi.md" "$ROOT/LICENSE" \
    -type f ! -name '*.pyc' -print0 | sort -z | xargs -0 sha256sum
} | sha256sum | cut -d' ' -f1)
if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$digest" ] && "$VPY" -c 'import brindle' 2>/dev/null; then
  say "brindle is built from these sources already"
else
  rm -f "$STAMP"
  say "building brindle with $("$VPY" -c 'import sys; print(sys.version.split()[0])')"
  "$VPY" -m pip install -q --force-reinstall --no-deps "${BUILD_ARGS[@]}" "$ROOT" >&2 ||
    die "building brindle failed (see the compiler output above)"
  echo "$digest" >"$STAMP"
fi
echo "$VPY"
