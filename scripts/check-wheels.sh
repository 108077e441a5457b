#!/usr/bin/env bash
# The wheels stage of scripts/test.sh: builds the wheels (scripts/wheel.sh), then for
# each one checks with `auditwheel show` that it needs no library outside its
# manylinux policy, installs it into a fresh virtual environment and runs the pytest
# suite against it with the system's oneTBB and abseil hidden: a private mount
# namespace binds /dev/null over them, so nothing is removed from the machine.
# The suite there leaves out the slow tests, as a release build's does.
# Arguments go to pytest.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=$ROOT/build/wheel-test
export PIP_DISABLE_PIP_VERSION_CHECK=1
source scripts/wheel-lib.sh
status=0
fail() { echo "check-wheels: $*" >&2; status=1; }

echo "--- CMake says what to install when oneTBB is missing"
out=$(cmake -S . -B "$WORK/cmake-missing" -DBRINDLE_BUILD_EXTENSION=OFF -DCMAKE_DISABLE_FIND_PACKAGE_TBB=ON 2>&1)
grep -q "apt-get install g++ cmake libtbb-dev libabsl-dev" <<<"$out" && grep -q "oneTBB not found" <<<"$out" ||
  fail "CMake's message for a missing oneTBB does not say what to install:"$'\n'"$out"

echo "--- building"
bash scripts/wheel.sh || exit 1
wheels=("$ROOT"/dist/brindle-*-manylinux*.whl)
[ -f "${wheels[0]}" ] || { echo "check-wheels: scripts/wheel.sh left no manylinux wheel" >&2; exit 1; }

# Every file behind the system's oneTBB and abseil libraries, once each.
HIDDEN=$(ldconfig -p | awk '$1 ~ /^lib(tbb|absl_)/ {print $NF}' | xargs -r realpath -e | sort -u | paste -sd:)
[ -n "$HIDDEN" ] || echo "check-wheels: no system oneTBB or abseil to hide"
UNSHARE=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || UNSHARE+=(--map-root-user)
hidden() {  # runs "$@" with the libraries of HIDDEN replaced by empty files
  BRINDLE_HIDDEN_LIBS=$HIDDEN "${UNSHARE[@]}" bash -c '
    IFS=: read -ra libs <<<"$BRINDLE_HIDDEN_LIBS"
    for f in "${libs[@]}"; do mount --bind /dev/null "$f" || exit 1; done
    exec "$@"' hidden "$@"
}

for whl in "${wheels[@]}"; do
  name=$(basename "$whl")
  tag=${name#*-*-}; tag=${tag%%-*}  # cp312
  echo "--- $name ($(( $(stat -c %s "$whl") / 1024 )) KB)"
  "$ROOT/.venv/tools/bin/auditwheel" show --json "$whl" |
    "$ROOT/.venv/tools/bin/python" -c '
import json, sys
report, name = json.load(sys.stdin), sys.argv[1]
tag, external = report["overall_tag"], sorted(report["external_libs"])
print(f"auditwheel show: {tag}; libraries outside the policy: {external or None}")
sys.exit(0 if tag.startswith("manylinux_") and f"-{tag}." in name and not external else 1)' "$name" ||
    fail "$name is not a self-contained manylinux wheel"

  py=$(python_for "3.${tag#cp3}")
  [ -n "$py" ] || { fail "no CPython for $tag"; continue; }
  # The oldest NumPy and pandas on the oldest CPython, the newest on the others.
  deps=("numpy>=1.26" "pandas>=2.2")
  [ "$tag" = cp312 ] && deps=("numpy==1.26.*" "pandas==2.2.*")
  venv=$WORK/$tag
  rm -rf "$venv"
  "$py" -m venv "$venv" && "$venv/bin/python" -m pip install -q "$whl" "${deps[@]}" pytest hypothesis ||
    { fail "could not install $name"; continue; }
  "$venv/bin/python" -c 'import numpy, pandas; print(f"numpy {numpy.__version__}, pandas {pandas.__version__}")'
  # The venv's pytest script, not `python -m pytest`: the working directory must not
  # come first on sys.path.
  # As a release build tests its wheels ([tool.cibuildwheel]): the slow tests ran in
  # the old and new stages, on the same code.
  hidden "$venv/bin/pytest" -p no:cacheprovider -m "not slow and not huge" tests/python tests/wheel "$@" ||
    fail "pytest failed on $name"
done
exit "$status"
