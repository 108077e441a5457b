#!/usr/bin/env bash
# Fuzzes column coding with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer (clang 14). The working corpus lives in the
# build directory and grows across runs. Exits non-zero on any finding.
#
#   scripts/engine-fuzz.sh [seconds]        (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/apt-deps.sh
ensure_apt "${ENGINE_APT_PACKAGES[@]}" clang-14 libclang-rt-14-dev
SECONDS_TO_RUN=${1:-60}
OUT=build/engine-fuzz
CXX=${BRINDLE_FUZZ_CXX:-clang++-14}
mkdir -p "$OUT/obj" "$OUT/corpus" "$OUT/artifacts"

FLAGS=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=undefined -Isrc)
# Rebuild an object only when its source or a header changed.
newest_header=$(ls -t src/lib/engine/*.hpp | head -1)
objs=()
for src in src/lib/engine/*.cpp fuzz/label_encode_fuzz.cpp; do
  obj=$OUT/obj/$(basename "${src%.cpp}").o
  if [[ ! -f $obj || $src -nt $obj || $newest_header -nt $obj ]]; then
    "$CXX" "${FLAGS[@]}" -c "$src" -o "$obj"
  fi
  objs+=("$obj")
done
"$CXX" -fsanitize=fuzzer,address,undefined "${objs[@]}" -o "$OUT/label_encode_fuzz" \
  -ltbb $(pkg-config --libs absl_flat_hash_map absl_hash)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
log=$OUT/last-run.log
set +e
RAYON_NUM_THREADS=${RAYON_NUM_THREADS:-2} "$OUT/label_encode_fuzz" -max_total_time="$SECONDS_TO_RUN" \
  -print_final_stats=1 -max_len=4096 -artifact_prefix="$OUT/artifacts/" "$OUT/corpus" >"$log" 2>&1
rc=$?
set -e
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
took=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
if [[ $rc -ne 0 ]]; then
  tail -60 "$log"
  echo "engine-fuzz: FINDING after ${runs:-?} inputs (exit $rc); artifacts in $OUT/artifacts"
  exit 1
fi
echo "engine-fuzz: ${runs:-?} inputs in ${SECONDS_TO_RUN}s, ${took:-?} per second, corpus $(ls "$OUT/corpus" | wc -l) files, 0 findings"
echo "1 passed in ${SECONDS_TO_RUN}s"
