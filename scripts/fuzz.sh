#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan) and runs them.
#
#   scripts/fuzz.sh [SECONDS]   run every target for SECONDS (default 60), all at once, one core
#                               each; non-zero if any target finds a crash or a broken invariant
#   scripts/fuzz.sh coverage    line coverage of csv/parser.hpp and src/inf.cpp reached by the
#                               corpora (seeds and what earlier runs found)
#
# Seeds are committed in fuzz/corpus/<target>/. What a run finds goes to fuzz/corpus-run/<target>/
# (not committed) and seeds the next run. A crash leaves its input in build/fuzz/artifacts/;
# replay it with: build/fuzz/fuzz/<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

TARGETS="fuzz_tokenizer fuzz_pass fuzz_matcher fuzz_convert"
VENV=.venv
PY=$VENV/bin/python

# clang, its libFuzzer and sanitizer runtimes, and llvm-cov for the coverage report.
scripts/setup.sh clang libclang-rt-14-dev llvm

configure_and_build() {  # build dir, extra CMake arguments...
  local dir=$1
  shift
  $VENV/bin/cmake -S . -B "$dir" -G Ninja "-DCMAKE_MAKE_PROGRAM=$(realpath $VENV/bin/ninja)" \
    "-DPython_EXECUTABLE=$(realpath $PY)" "-Dpybind11_DIR=$($PY -m pybind11 --cmakedir)" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMIRA_BUILD_FUZZ=ON "$@" >/dev/null
  # shellcheck disable=SC2086
  $VENV/bin/cmake --build "$dir" -j "${JOBS:-2}" --target $TARGETS
}

if [ "${1:-}" = coverage ]; then
  dir=build/fuzz-cov
  configure_and_build $dir -DVELMIRA_FUZZ_COVERAGE=ON
  profiles=()
  for t in $TARGETS; do
    mkdir -p fuzz/corpus-run/$t
    # -runs=0: execute every input of the corpora once, then stop.
    LLVM_PROFILE_FILE=$dir/$t.profraw $dir/fuzz/$t -runs=0 fuzz/corpus-run/$t fuzz/corpus/$t \
      >$dir/$t.log 2>&1
    profiles+=("$dir/$t.profraw")
  done
  llvm-profdata merge -sparse "${profiles[@]}" -o $dir/all.profdata
  llvm-cov report -instr-profile=$dir/all.profdata $dir/fuzz/fuzz_pass \
    -object $dir/fuzz/fuzz_tokenizer -object $dir/fuzz/fuzz_matcher -object $dir/fuzz/fuzz_convert \
    csv/parser.hpp src/inf.cpp src/value_cache.hpp src/match/matcher.cpp src/match/matcher.hpp \
    src/match/pattern_admission.cpp src/match/prefilter.cpp src/match/prefilter.hpp \
    src/convert/numbers.cpp src/convert/datetime.cpp
  echo "fuzz: line by line: llvm-cov show -instr-profile=$dir/all.profdata $dir/fuzz/fuzz_pass" \
       "-object $dir/fuzz/fuzz_tokenizer csv/parser.hpp src/inf.cpp"
  exit 0
fi

seconds=${1:-60}
dir=build/fuzz
configure_and_build $dir
mkdir -p $dir/artifacts
pids=()
for t in $TARGETS; do
  mkdir -p fuzz/corpus-run/$t
  # The pass target writes two files per input; its inputs stay small.
  max_len=4096
  # -timeout: a single input may take at most this long (a hang is a finding too).
  $dir/fuzz/$t fuzz/corpus-run/$t fuzz/corpus/$t -dict=fuzz/$t.dict -max_total_time="$seconds" \
    -max_len=$max_len -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix=$dir/artifacts/$t- >$dir/$t.log 2>&1 &
  pids+=($!)
done
status=0
i=0
for t in $TARGETS; do
  if wait "${pids[$i]}"; then result=ok; else result=FAILED; status=1; fi
  i=$((i + 1))
  # The last status line (execs, cov, ft, corpus) and the final stats.
  last=$(grep -E '^#[0-9]+' $dir/$t.log | tail -n 1 || true)
  echo "fuzz: $t: $result: $last"
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' $dir/$t.log | sed "s/^/fuzz: $t: /" || true
  if [ $result = FAILED ]; then
    grep -E -A 40 'INVARIANT BROKEN|ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error|SUMMARY|Test unit written' \
      $dir/$t.log | head -n 120
  fi
done
exit $status
