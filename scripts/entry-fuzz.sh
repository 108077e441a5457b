#!/usr/bin/env bash
# Fuzzes Encoder.encode and Encoder.decode with hostile inputs (fuzz/entry_fuzz.py)
# for a bounded time, against the AddressSanitizer + UBSan build of the extension.
# Exits non-zero on any finding: a failed check, a crash, or a sanitizer report
# (LeakSanitizer's at exit included).
#
#   scripts/entry-fuzz.sh [seconds] [-- fuzzer args]   (default BRINDLE_FUZZ_SECONDS, else 90)
#
# The plan of the input being run stays in build/entry-fuzz/last-plan.json; after a
# crash, `python fuzz/entry_fuzz.py --replay build/entry-fuzz/last-plan.json` runs it
# again.
#
# With the fuzzer argument --arrow it runs only Arrow plans, in .venv/asan-arrow
# (setup.sh asan-arrow: the same build, with pyarrow), and keeps its plan and
# reports in build/entry-fuzz-arrow/ instead.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_TO_RUN=${1:-${BRINDLE_FUZZ_SECONDS:-90}}
(($#)) && shift
[[ ${1:-} == -- ]] && shift
ARROW=0
for arg in "$@"; do [[ $arg == --arrow ]] && ARROW=1; done
OUT=$ROOT/build/entry-fuzz
((ARROW)) && OUT=$ROOT/build/entry-fuzz-arrow
REPORTS=$OUT/asan-reports
mkdir -p "$OUT"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"

# scripts/test.sh passes the environment its asan stage has just built.
if ((ARROW)); then
  py=$(bash scripts/setup.sh asan-arrow | tail -n 1)
else
  py=${BRINDLE_ASAN_PYTHON:-$(bash scripts/setup.sh asan | tail -n 1)}
fi
[ -x "$py" ] || { echo "entry-fuzz: setup.sh gave no python ('$py')" >&2; exit 1; }
lib=$(g++ -print-file-name=libasan.so)
[ -f "$lib" ] || { echo "entry-fuzz: g++ has no libasan.so" >&2; exit 1; }

# As in the asan stage of scripts/test.sh: reports go to files, UBSan stops at
# its first finding, leaks of interpreter-owned memory are suppressed.
source scripts/sanitizer-reports.sh
run_fuzzer() {
  LD_PRELOAD=$lib PYTHONMALLOC=malloc BRINDLE_ASAN=1 RAYON_NUM_THREADS=${RAYON_NUM_THREADS:-2} \
    ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:exitcode=$SANITIZER_EXIT:log_path=$REPORTS/asan \
    LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    BRINDLE_FUZZ_LAST=$OUT/last-plan.json \
    "$py" fuzz/entry_fuzz.py --seconds "$SECONDS_TO_RUN" "$@"
}
run_fuzzer "$@"
rc=$?
# A LeakSanitizer tracer death alone runs the fuzzer once more (see
# scripts/sanitizer-reports.sh): seeded and counted, it meets the same inputs.
if ((rc == 0 || rc == SANITIZER_EXIT)) && tracer_died_only "$REPORTS"; then
  echo "entry-fuzz: LeakSanitizer's tracer died at exit (no check ran); running the fuzzer again" >&2
  rm -rf "$REPORTS.first" && mv "$REPORTS" "$REPORTS.first" && mkdir -p "$REPORTS"
  run_fuzzer "$@"
  rc=$?
fi

found=0
for f in "$REPORTS"/*; do
  [ -s "$f" ] || continue
  found=1
  echo "---- sanitizer report $(basename "$f") (first 60 lines; all of it in $f)" >&2
  head -n 60 "$f" >&2
done
if ((rc != 0 || found)); then
  if ((rc > 128 || found)); then
    echo "entry-fuzz: the process died or a sanitizer reported (exit $rc); its input:" >&2
    cat "$OUT/last-plan.json" >&2 && echo >&2
    echo "entry-fuzz: replay with: $py fuzz/entry_fuzz.py --replay $OUT/last-plan.json" >&2
  fi
  echo "entry-fuzz: FINDING (exit $rc)"
  exit 1
fi
# The closing line scripts/test.sh counts.
echo "1 passed in ${SECONDS_TO_RUN}s"
