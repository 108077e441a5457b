# Sourced by scripts/test.sh and scripts/entry-fuzz.sh.
#
# LeakSanitizer's own tracer now and then dies at a process's exit ("Tracer
# caught signal 11 ... LeakSanitizer has encountered a fatal error"), most
# likely while threads are being torn down: the leak check did not run, so
# nothing was found and nothing was cleared. Callers run such a step once more
# when that is all its reports say; a second time, or any real finding, fails.
#
# ASan's exitcode is set to this in both scripts, so that a sanitizer ending
# the process tells itself apart from the program's own exit codes.
SANITIZER_EXIT=86

# Whether the sanitizer reports in directory $1 exist and are all tracer
# deaths, with no finding in any of them.
tracer_died_only() {
  local f any=0
  for f in "$1"/*; do
    [ -s "$f" ] || continue
    any=1
    grep -q "LeakSanitizer has encountered a fatal error" "$f" || return 1
    grep -qE "ERROR: (AddressSanitizer|LeakSanitizer: detected)|runtime error|SUMMARY:" "$f" && return 1
  done
  ((any))
}
