#!/usr/bin/env bash
# Runs the tests against builds instrumented with sanitizers. Any sanitizer report fails the run.
#
#   scripts/sanitize.sh asan   AddressSanitizer + UndefinedBehaviorSanitizer (gcc): the C++ tests,
#                              then the whole Python suite against an instrumented velmira_ext.
#   scripts/sanitize.sh tsan   ThreadSanitizer (gcc): the C++ tests, among them the multithreaded
#                              passes of tests/cpp/test_pass_threads.cpp, then the Python tests
#                              that run passes with threads, against an instrumented velmira_ext.
#
# Each mode has its own build directory (build/asan, build/tsan) and builds only what it runs.
# Python imports the instrumented module from there, which PYTHONPATH puts ahead of the
# installed one; the pure-Python velmira package is the installed one (make install).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:?usage: scripts/sanitize.sh asan|tsan}
VENV=.venv
PY=$VENV/bin/python
JOBS=${JOBS:-2}
cmake_args=(-G Ninja "-DCMAKE_MAKE_PROGRAM=$(realpath $VENV/bin/ninja)"
            "-DPython_EXECUTABLE=$(realpath $PY)" "-Dpybind11_DIR=$($PY -m pybind11 --cmakedir)"
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMIRA_BUILD_TESTS=ON)

# halt_on_error: the first report ends the process with a non-zero status, so nothing is missed
# in a long log. UBSan is also compiled with -fno-sanitize-recover=all (CMakeLists.txt).
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# The generated differential tests run a quarter of their cases under the sanitizers.
export VELMIRA_TEST_SCALE_DOWN=4

# Runs pytest in an uninstrumented interpreter with the instrumented modules of $dir first on its
# path: velmira_ext, and the velmira package with its instrumented _native beside a copy of its
# Python files. The sanitizer runtime must be the process's first library, so it is preloaded,
# and libstdc++ with it: without it the runtime finds no real __cxa_throw to forward to and
# aborts at the first C++ exception.
run_python() {  # runtime (asan or tsan), pytest arguments...
  local runtime=$1
  shift
  local module_dir package_dir preload loaded
  module_dir=$(realpath $dir)
  package_dir=$module_dir/package
  rm -rf "$package_dir"
  mkdir -p "$package_dir"
  cp -r python/velmira "$package_dir/"
  cp "$module_dir"/_native*.so "$package_dir/velmira/"
  preload="$(g++ -print-file-name=lib$runtime.so) $(g++ -print-file-name=libstdc++.so)"
  loaded=$(PYTHONPATH=$module_dir:$package_dir LD_PRELOAD=$preload "$PY" -c \
    'import velmira_ext, velmira._native; print(velmira_ext.__file__); print(velmira._native.__file__)')
  for file in $loaded; do
    case $file in
      "$module_dir"/*) ;;
      *) echo "sanitize: imported $file, not an instrumented module of $module_dir" >&2; exit 1 ;;
    esac
  done
  PYTHONPATH=$module_dir:$package_dir LD_PRELOAD=$preload "$PY" -m pytest -p no:cacheprovider "$@"
}

case $mode in
  asan)
    dir=build/asan
    $VENV/bin/cmake -S . -B $dir "${cmake_args[@]}" -DVELMIRA_SANITIZE="address;undefined"
    $VENV/bin/cmake --build $dir -j "$JOBS" --target velmira_cpp_tests velmira_ext _native
    (cd $dir && "$(realpath ../../$VENV/bin/ctest)" --output-on-failure -j "$JOBS")

    # CPython leaves memory allocated at exit: no leak check in Python.
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=0 run_python asan -q
    ;;
  tsan)
    dir=build/tsan
    $VENV/bin/cmake -S . -B $dir "${cmake_args[@]}" -DVELMIRA_SANITIZE=thread
    $VENV/bin/cmake --build $dir -j "$JOBS" --target velmira_cpp_tests velmira_ext _native
    (cd $dir && "$(realpath ../../$VENV/bin/ctest)" --output-on-failure -j "$JOBS")

    # CPython is not instrumented, but the workers touch only the engine's memory, and every
    # handover between them and the calling thread is a pthread call or an atomic of the
    # engine, both of which TSan sees. The timing test is left out: TSan is ten times slower.
    run_python tsan -q -k "threads and not started_per_pass"
    ;;
  *)
    echo "usage: scripts/sanitize.sh asan|tsan" >&2
    exit 2
    ;;
esac
