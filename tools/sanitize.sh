#!/usr/bin/env bash
# The test suite (and, with --fuzz SECONDS, the fuzz harness) against a build
# of the modules with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   tools/sanitize.sh                  # build into .venv-asan, run pytest
#   tools/sanitize.sh --fuzz 600       # then fuzz for 600 s as well
#   tools/sanitize.sh --fuzz-only 3600 # reuse .venv-asan, fuzz for an hour
#   tools/sanitize.sh -- -x -k leaks   # extra pytest arguments after --
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded; leak reports at interpreter exit are off (CPython keeps its
# interned objects alive on purpose), every other report aborts the run.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=0
build=1
pytest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --fuzz) fuzz_seconds="$2"; shift 2 ;;
    --fuzz-only) fuzz_seconds="$2"; build=0; shift 2 ;;
    --) shift; pytest_args=("$@"); break ;;
    *) echo "usage: $0 [--fuzz SECONDS | --fuzz-only SECONDS] [-- PYTEST_ARGS...]" >&2; exit 2 ;;
  esac
done

python_bin=$(pyenv which python 2>/dev/null || command -v python3.12 || command -v python3)
venv=.venv-asan

if [ "$build" = 1 ]; then
  rm -rf "$venv"
  "$python_bin" -m venv "$venv"
  # Its own build directory, so the sanitized objects never mix with a
  # normal build's; debug info for readable reports.
  QUORRA_SANITIZE=ON "$venv/bin/pip" install -q \
    -Cbuild-dir=build/asan -Ccmake.build-type=RelWithDebInfo '.[test,fuzz]'
fi

asan_lib=$(g++ -print-file-name=libasan.so)
ubsan_lib=$(g++ -print-file-name=libubsan.so)
sanitized() {
  # PYTHONMALLOC=malloc routes the interpreter's small-object allocations
  # through the sanitizer too, so freed Python memory is caught as well.
  env LD_PRELOAD="$asan_lib $ubsan_lib" \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONMALLOC=malloc "$@"
}

# Fuzzing first, so a run ends with the test suite's summary line.
if [ "$fuzz_seconds" != 0 ]; then
  mkdir -p build/fuzz  # crash and slow-input files land here
  sanitized "$venv/bin/python" fuzz/fuzz_calls.py -max_total_time="$fuzz_seconds" \
    -max_len=4096 -len_control=0 -rss_limit_mb=4096 -timeout=60 \
    -artifact_prefix=build/fuzz/ -print_final_stats=1
fi

if [ "$build" = 1 ]; then
  sanitized "$venv/bin/python" -m pytest -q -p no:cacheprovider "${pytest_args[@]}"
fi
