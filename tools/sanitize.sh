#!/usr/bin/env bash
# The test suite against a build of the modules with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++), and, with --fuzz SECONDS, coverage-guided
# fuzzing of a clang build instrumented for libFuzzer and both sanitizers.
#
#   tools/sanitize.sh                  # build into .venv-asan, run pytest
#   tools/sanitize.sh --fuzz 600       # fuzz build into .venv-fuzz, fuzz 600 s, then that
#   tools/sanitize.sh --fuzz-only 3600 # reuse .venv-fuzz, fuzz for an hour
#   tools/sanitize.sh -- -x -k leaks   # extra pytest arguments after --
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded; leak reports at interpreter exit are off (CPython keeps its
# interned objects alive on purpose), every other report aborts the run.
#
# A fuzz run starts from the seeds in fuzz/corpus/ and writes the inputs it
# adds to build/fuzz/corpus/ (emptied first); a crash, sanitizer report,
# timeout or out-of-memory input is saved under build/fuzz/ and fails the
# run, and so does a run whose coverage did not grow.
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
fuzz_venv=.venv-fuzz

sanitized() {
  # PYTHONMALLOC=malloc routes the interpreter's small-object allocations
  # through the sanitizer too, so freed Python memory is caught as well.
  env ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONMALLOC=malloc "$@"
}

# ---- fuzzing (first, so a run ends with the test suite's summary line) ----

if [ "$fuzz_seconds" != 0 ] && [ "$build" = 1 ]; then
  # clang and its sanitizer runtimes (the modules link clang's asan_static).
  if ! command -v clang++ >/dev/null || ! dpkg -s libclang-rt-dev >/dev/null 2>&1; then
    if [ "$(id -u)" != 0 ]; then
      echo "the fuzz build needs clang: apt-get install clang libclang-rt-dev (as root)" >&2
      exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      clang libclang-rt-dev >/dev/null
  fi
  clang++ --version | sed -n 1p
  rm -rf "$fuzz_venv" build/fuzz/cmake
  "$python_bin" -m venv "$fuzz_venv"
  CXX=clang++ QUORRA_FUZZ=ON "$fuzz_venv/bin/pip" install -q \
    -Cbuild-dir=build/fuzz/cmake -Ccmake.build-type=RelWithDebInfo '.[fuzz]'
fi

if [ "$fuzz_seconds" != 0 ]; then
  if [ ! -x "$fuzz_venv/bin/python" ]; then
    echo "no fuzz build in $fuzz_venv: run $0 --fuzz SECONDS first" >&2
    exit 1
  fi
  # atheris's runtime with libFuzzer, ASan and UBSan in one library: the
  # modules' coverage counters register with the libFuzzer that runs.
  runtime=$("$fuzz_venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so
  "$fuzz_venv/bin/python" -c 'import importlib.metadata as m; print("atheris", m.version("atheris"))'
  mkdir -p build/fuzz
  rm -rf build/fuzz/corpus
  mkdir build/fuzz/corpus
  log=build/fuzz/fuzz.log
  # The whole output goes to the log; the console leaves out the line per
  # added input and the recommended dictionary.
  set +e
  sanitized LD_PRELOAD="$runtime" "$fuzz_venv/bin/python" fuzz/fuzz_calls.py \
    build/fuzz/corpus fuzz/corpus -max_total_time="$fuzz_seconds" \
    -max_len=4096 -rss_limit_mb=4096 -timeout=60 \
    -artifact_prefix=build/fuzz/ -print_final_stats=1 2>&1 \
    | tee "$log" \
    | sed -u -E -e '/^#[0-9]+[[:space:]]+(NEW|REDUCE) /d' -e '/^[[:space:]]+NEW_FUNC/d' \
        -e '/^###### Recommended dictionary/,/^###### End of recommended dictionary/d'
  fuzz_status=${PIPESTATUS[0]}
  set -e
  if [ "$fuzz_status" != 0 ]; then
    echo "fuzzing failed (exit $fuzz_status): see $log and the input saved under build/fuzz/" >&2
    exit 1
  fi
  # Corpus units and features when the seeds were loaded and at the end.
  stats() { grep -E "^#[0-9]+[[:space:]]+$1 " "$log" | tail -n 1 \
    | sed -E 's/.* ft: ([0-9]+) corp: ([0-9]+)\/.*/\1 \2/'; }
  read -r ft_start corp_start <<<"$(stats INITED)"
  read -r ft_end corp_end <<<"$(stats DONE)"
  echo "fuzz coverage: start ft: ${ft_start:-?} corp: ${corp_start:-?}, end ft: ${ft_end:-?} corp: ${corp_end:-?}"
  if [ -z "${ft_end:-}" ] || [ -z "${ft_start:-}" ] \
      || [ "$ft_end" -le "$ft_start" ] || [ "$corp_end" -le "$corp_start" ]; then
    echo "fuzzing found no new coverage: is the fuzz build instrumented?" >&2
    exit 1
  fi
fi

# ---- the suite under the g++ sanitizer build ----

if [ "$build" = 1 ]; then
  rm -rf "$venv"
  "$python_bin" -m venv "$venv"
  # Its own build directory, so the sanitized objects never mix with a
  # normal build's; debug info for readable reports.
  QUORRA_SANITIZE=ON "$venv/bin/pip" install -q \
    -Cbuild-dir=build/asan -Ccmake.build-type=RelWithDebInfo '.[test]'
  asan_lib=$(g++ -print-file-name=libasan.so)
  ubsan_lib=$(g++ -print-file-name=libubsan.so)
  sanitized LD_PRELOAD="$asan_lib $ubsan_lib" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${pytest_args[@]}"
fi
