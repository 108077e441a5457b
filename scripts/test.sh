#!/usr/bin/env bash
# Runs every test of brindle and exits non-zero if any stage fails.
#
#   scripts/test.sh [STAGE...] [-- PYTEST-ARGS...]
#     old           pytest on CPython 3.12 with NumPy 1.26.x and pandas 2.2.x
#     new           pytest on the newest CPython here with the newest NumPy and pandas
#     dask          brindle_dask's tests on new's packages plus Dask (a local cluster)
#     asan          pytest against an AddressSanitizer + UBSan build of the extension,
#                   with the sanitizer runtime preloaded into the interpreter; then
#                   scripts/entry-fuzz.sh against the same build: BRINDLE_FUZZ_INPUTS inputs
#                   (default 1500) from seed BRINDLE_FUZZ_SEED (default 0), within
#                   BRINDLE_FUZZ_SECONDS (default 90; 0 leaves it out); then its Arrow
#                   plans the same way, BRINDLE_FUZZ_ARROW_INPUTS of them (default 1500),
#                   with pyarrow beside the same build (setup.sh asan-arrow)
#     engine        the C++ engine's scripts that exist: engine-tests, engine-tsan,
#                   engine-fuzz (each can also be named alone)
#     wheels        builds the wheels (scripts/wheel.sh) and runs pytest, all but the slow
#                   tests, against each one installed in a fresh environment with the
#                   system's oneTBB and abseil hidden; checks them with auditwheel show
#     types         mypy --strict on a typed example, and stubtest, for brindle-stubs
#     docs          the user documentation, built with warnings as errors; its examples
#                   run as doctests
#   Without a stage, all of them run in that order. Arguments after "--" go to every
#   pytest run (for example: scripts/test.sh new -- -k passthrough -x).
#
# Each stage prepares its own environment through scripts/setup.sh, so a fresh machine
# needs nothing but this command. Logs go to build/test-logs/. The last lines are one
# line per stage and the total count of tests.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
LOGS=$ROOT/build/test-logs
mkdir -p "$LOGS"

# Two shared cores: never build wider than that.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PYTHONFAULTHANDLER=1

STAGES=()
PYTEST_ARGS=()
while (($#)); do
  case "$1" in
    --) shift; PYTEST_ARGS=("$@"); break ;;
    old|new|dask|asan|engine-tests|engine-tsan|engine-fuzz) STAGES+=("$1") ;;
    engine) STAGES+=(engine-tests engine-tsan engine-fuzz) ;;
    wheels|types|docs) STAGES+=("$1") ;;
    -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown stage '$1' (old, new, dask, asan, engine, engine-tests, engine-tsan, engine-fuzz, wheels, types, docs)" >&2
       exit 2 ;;
  esac
  shift
done
((${#STAGES[@]})) || STAGES=(old new dask asan engine-tests engine-tsan engine-fuzz wheels types docs)

banner() { printf '\n==== %s ====\n' "$*"; }

# --- Python stages -----------------------------------------------------------------
venv_python() {  # $1: flavour; prints the environment's python, or fails
  local out
  out=$(bash scripts/setup.sh "$1") || return 1
  out=$(tail -n 1 <<<"$out")
  [ -x "$out" ] || { echo "test.sh: setup.sh $1 gave no python ('$out')" >&2; return 1; }
  echo "$out"
}

pytest_stage() {  # $1: flavour
  local py
  py=$(venv_python "$1") || return 1
  "$py" -m pytest "${PYTEST_ARGS[@]}"
  local rc=$?
  # 5: nothing collected; with tests in the tree that is a fault, not a pass.
  ((rc == 5)) && echo "test.sh: pytest collected no tests" >&2
  return "$rc"
}

# The rest of the suite ran in new already; here only what needs Dask.
dask_stage() {
  local py
  py=$(venv_python dask) || return 1
  "$py" -m pytest tests/python/test_dask.py tests/python/test_dask_fit.py "${PYTEST_ARGS[@]}"
}

source scripts/sanitizer-reports.sh

asan_stage() {
  local py lib reports=$LOGS/asan-reports rc
  py=$(venv_python asan) || return 1
  lib=$(g++ -print-file-name=libasan.so)
  # g++ echoes the bare name back when it has no such file.
  [ -f "$lib" ] || { echo "test.sh: g++ has no libasan.so" >&2; return 1; }
  rm -rf "$reports" && mkdir -p "$reports"
  # A sanitizer that stops the process inside a test would write into pytest's file
  # descriptor capture, which dies with it: ASan and LeakSanitizer reports go to
  # files (log_path), and --capture=sys leaves native stderr alone for UBSan, whose
  # separate runtime cannot follow a log_path once libasan is preloaded.
  run_asan_pytest() {
    LD_PRELOAD=$lib PYTHONMALLOC=malloc BRINDLE_ASAN=1 \
      ASAN_OPTIONS=detect_leaks=${ASAN_LEAKS:-1}:detect_stack_use_after_return=1:strict_string_checks=1:exitcode=$SANITIZER_EXIT:log_path=$reports/asan \
      LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "${ASAN_PY:-$py}" -m pytest -m "not slow and not huge" --capture=sys "${PYTEST_ARGS[@]}" "$@"
  }
  run_asan_pytest
  rc=$?
  # A LeakSanitizer tracer death alone runs the tests once more (see
  # scripts/sanitizer-reports.sh); no pytest outcome exits with its code.
  if ((rc == 0 || rc == SANITIZER_EXIT)) && tracer_died_only "$reports"; then
    echo "test.sh: LeakSanitizer's tracer died at a process's exit (no check ran); running the tests again" >&2
    rm -rf "$reports.first" && mv "$reports" "$reports.first" && mkdir -p "$reports"
    run_asan_pytest
    rc=$?
  fi
  # The tests of Arrow-backed frames (lying buffers among them) need pyarrow, which
  # the run above is without: once more beside it, on the same build, for memory
  # errors. Not for leaks: with pandas and pyarrow loaded, a process exits holding
  # bytes constants that CPython compiled at run time, which the fast unwinder
  # cannot trace past the allocation to suppress them; the leak tests and the
  # fuzzer's reference checks cover what the module itself holds.
  if ((rc == 0)); then
    local arrow_py
    arrow_py=$(BRINDLE_ASAN_PYTHON=$py venv_python asan-arrow) || return 1
    ASAN_LEAKS=0 ASAN_PY=$arrow_py run_asan_pytest -k "arrow or Arrow" tests/python/test_frame_columns.py tests/python/test_hostile.py \
      tests/python/test_arrow_tables.py
    rc=$?
  fi
  # pytest may have passed while a sanitizer failed the process at exit, or a
  # subprocess's report may be the only trace: either way a report fails the stage.
  local f found=0
  for f in "$reports"/*; do
    [ -s "$f" ] || continue
    found=1
    echo "---- sanitizer report $(basename "$f") (first 40 lines; all of it in $f)" >&2
    head -n 40 "$f" >&2
  done
  ((found)) && ((rc == 0)) && rc=1
  ((rc == 5)) && echo "test.sh: pytest collected no tests" >&2
  # Hostile inputs against the entry points, for a bounded time, on the build
  # just tested (so no second setup).
  if [[ ${BRINDLE_FUZZ_SECONDS:-90} != 0 ]]; then
    # Seeded and counted, so that a run meets the same inputs every time, however
    # fast the machine; scripts/entry-fuzz.sh alone draws afresh for its time.
    BRINDLE_FUZZ_SEED=${BRINDLE_FUZZ_SEED-0} BRINDLE_FUZZ_INPUTS=${BRINDLE_FUZZ_INPUTS-1500} \
      BRINDLE_ASAN_PYTHON=$py bash scripts/entry-fuzz.sh ||
      { ((rc == 0)) && rc=1; }
    # Frames whose Arrow buffers lie, read by columns and through `values`: a run
    # of their own, since they need pyarrow, which the tests above run without.
    BRINDLE_FUZZ_SEED=${BRINDLE_FUZZ_SEED-0} BRINDLE_FUZZ_INPUTS=${BRINDLE_FUZZ_ARROW_INPUTS-1500} \
      BRINDLE_ASAN_PYTHON=$py bash scripts/entry-fuzz.sh "${BRINDLE_FUZZ_SECONDS:-90}" -- --arrow ||
      { ((rc == 0)) && rc=1; }
  fi
  return "$rc"
}

# --- engine stages (scripts owned by the engine; run those that exist) -----------
engine_stage() {  # $1: script name without .sh
  bash "scripts/$1.sh"
}

# --- counting ------------------------------------------------------------------------
# Sums the closing lines of pytest and ctest in a stage's log.
PASSED=0 FAILED=0 SKIPPED=0
count_log() {
  local line n
  while IFS= read -r line; do
    # pytest's closing line: framed by "=" rules, or bare under -q
    if [[ $line =~ ^(=+\ )?([0-9]+\ [a-z]+(,\ [0-9]+\ [a-z]+)*)\ in\ [0-9.]+s ]]; then
      line=${BASH_REMATCH[2]}
      [[ $line =~ ([0-9]+)\ passed ]] && PASSED=$((PASSED + BASH_REMATCH[1]))
      [[ $line =~ ([0-9]+)\ failed ]] && FAILED=$((FAILED + BASH_REMATCH[1]))
      [[ $line =~ ([0-9]+)\ errors? ]] && FAILED=$((FAILED + BASH_REMATCH[1]))
      [[ $line =~ ([0-9]+)\ skipped ]] && SKIPPED=$((SKIPPED + BASH_REMATCH[1]))
      [[ $line =~ ([0-9]+)\ xfailed ]] && SKIPPED=$((SKIPPED + BASH_REMATCH[1]))
      [[ $line =~ ([0-9]+)\ xpassed ]] && PASSED=$((PASSED + BASH_REMATCH[1]))
    # ctest: "N% tests passed, F tests failed out of T" ("..., F tests failed" is
    # left out by newer ctest when nothing failed)
    elif [[ $line =~ %\ tests\ passed(,\ ([0-9]+)\ tests?\ failed)?\ out\ of\ ([0-9]+) ]]; then
      n=${BASH_REMATCH[2]:-0}
      FAILED=$((FAILED + n))
      PASSED=$((PASSED + BASH_REMATCH[3] - n))
    fi
  done <"$1"
}

# --- run -------------------------------------------------------------------------------
SUMMARY=()
status=0
for stage in "${STAGES[@]}"; do
  banner "$stage"
  if [[ $stage == engine-* && ! -f scripts/$stage.sh ]]; then
    echo "scripts/$stage.sh is not there yet"
    SUMMARY+=("$(printf '%-13s %s' "$stage" "skipped (no script)")")
    continue
  fi
  log=$LOGS/$stage.log
  start=$SECONDS
  case "$stage" in
    old|new) pytest_stage "$stage" ;;
    dask) dask_stage ;;
    asan) asan_stage ;;
    engine-*) engine_stage "$stage" ;;
    wheels) bash scripts/check-wheels.sh "${PYTEST_ARGS[@]}" ;;
    types|docs) bash "scripts/check-$stage.sh" ;;
  esac 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  took=$((SECONDS - start))
  count_log "$log"
  case "$rc" in
    0) result=passed ;;
    *) result="failed (exit $rc)"; status=1 ;;
  esac
  SUMMARY+=("$(printf '%-13s %-22s %4ds' "$stage" "$result" "$took")")
done

banner summary
printf '%s\n' "${SUMMARY[@]}"
echo "tests: $PASSED passed, $FAILED failed, $SKIPPED skipped"
exit "$status"
