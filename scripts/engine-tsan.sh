#!/usr/bin/env bash
# The engine's GoogleTest suites under ThreadSanitizer, against a oneTBB built
# with ThreadSanitizer from Debian's source of the installed version (the
# packaged library is not instrumented and floods TSan with false reports).
# The instrumented oneTBB is cached outside the repository and built only
# when missing. The pool is oversubscribed (4 and 8 threads on this machine)
# and the cases that run the most nested parallel work are repeated. Exits
# non-zero on any failure or report.
#
#   scripts/engine-tsan.sh [repetitions]        (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/apt-deps.sh
ensure_apt "${ENGINE_APT_PACKAGES[@]}"
REPEAT=${1:-2}
JOBS=${BRINDLE_JOBS:-2}
CACHE=${BRINDLE_TBB_TSAN_CACHE:-/var/cache/brindle/tbb-tsan}
PREFIX=$CACHE/prefix
SUDO=
[[ $(id -u) == 0 ]] || SUDO=sudo

build_tbb_tsan() {
  local version work apt_dir
  version=$(dpkg-query -W -f='${source:Version}' libtbb-dev)
  work=$CACHE/work
  apt_dir=$CACHE/apt
  $SUDO mkdir -p "$CACHE"
  $SUDO chown "$(id -u):$(id -g)" "$CACHE"
  rm -rf "$work" "$PREFIX"
  mkdir -p "$work" "$apt_dir/lists/partial"

  # A private deb-src list for this machine's own suites, so the system's
  # apt configuration stays as it is.
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$apt_dir/src.sources"
    : >"$apt_dir/src.list"
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >"$apt_dir/src.list"
    : >"$apt_dir/src.sources"
  fi
  local apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/src.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
                  -o "Dir::State::Lists=$apt_dir/lists" -o "APT::Get::List-Cleanup=0"
                  -o "APT::Sandbox::User=root")
  mkdir -p "$apt_dir/parts"
  cp "$apt_dir/src.sources" "$apt_dir/parts/src.sources"
  [[ -s $apt_dir/parts/src.sources ]] || rm -f "$apt_dir/parts/src.sources"

  if ! command -v dpkg-source >/dev/null 2>&1; then
    $SUDO apt-get update -qq && $SUDO apt-get install -y -qq dpkg-dev
  fi
  apt-get "${apt_opts[@]}" update -qq
  (cd "$work" && apt-get "${apt_opts[@]}" source -qq --download-only "onetbb=$version" &&
    dpkg-source -x --no-check ./*.dsc src >/dev/null)

  cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    -DTBB_SANITIZE=thread -DTBB_STRICT=OFF -DTBB_TEST=OFF -DTBBMALLOC_BUILD=OFF \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" >/dev/null
  make -C "$work/build" -j "$JOBS" tbb >/dev/null
  cmake --install "$work/build" >/dev/null
  rm -rf "$work"
  echo "$version" >"$PREFIX/.brindle-built"
}

if [[ ! -f $PREFIX/.brindle-built ]]; then
  echo "--- building oneTBB with ThreadSanitizer into $PREFIX (once)"
  build_tbb_tsan
fi
TBB_DIR=$(dirname "$(find "$PREFIX" -name TBBConfig.cmake | head -1)")

GEN=()
command -v ninja >/dev/null 2>&1 && GEN=(-G Ninja)
BUILD=build/engine-tsan
echo "--- engine tests under ThreadSanitizer: $BUILD (oneTBB from $TBB_DIR)"
cmake -S . -B "$BUILD" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
  -DBRINDLE_BUILD_EXTENSION=OFF -DBRINDLE_BUILD_TESTS=ON -DBRINDLE_SANITIZE=thread \
  -DTBB_DIR="$TBB_DIR" >/dev/null
cmake --build "$BUILD" -j "$JOBS"

# Every run must link the instrumented library, not the system's.
if ldd "$BUILD/brindle_engine_tests" | grep -q '/usr/lib/.*libtbb\.so'; then
  echo "engine-tsan: the tests link the uninstrumented system oneTBB" >&2
  exit 1
fi

export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1"
# Single-thread arenas ("_t1_") race with nothing, so they are left out. The
# full suite runs once, on a pool twice the cores; then the cases that run
# the most nested parallel work are repeated, on 4 threads and on 8: on 2
# cores one run can miss an interleaving. (A second full run, on 8 threads,
# took four minutes of a CI run that must stay within its time.)
# The partitioned road's columns of several blocks (a minute under TSan) repeat,
# block after block, the parallel work that its columns of one block run.
CONCURRENT='EncodeColumns|Pool|few_140000_t4|short_labels_65536_t4|markers_only_70000_t4'
echo "--- RAYON_NUM_THREADS=4, full suite"
RAYON_NUM_THREADS=4 ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" -E '_t1_|PartitionedAcrossBlocks'
for threads in 4 8; do
  for ((i = 1; i <= REPEAT; i++)); do
    echo "--- RAYON_NUM_THREADS=$threads, concurrent cases, repetition $i of $REPEAT"
    RAYON_NUM_THREADS=$threads ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" -R "$CONCURRENT"
  done
done
