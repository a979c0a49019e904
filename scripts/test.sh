#!/usr/bin/env bash
# Builds everything and runs every test: the module with warnings as errors,
# the C++ unit tests, the Python tests, the Python tests again against an
# AddressSanitizer + UndefinedBehaviorSanitizer build, a ThreadSanitizer run
# of the worker pool, and a short fuzz run.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-2}
export CMAKE_BUILD_PARALLEL_LEVEL=$JOBS

step() { printf '\n==> %s\n' "$*"; }

step "installing build and test requirements"
$PYTHON -m pip install -q --disable-pip-version-check "scikit-build-core>=0.9" cmake ninja pytest hypothesis numpy
# Charts of the benchmark report, drawn by its smoke test.
$PYTHON -m pip install -q --disable-pip-version-check matplotlib
# The `ray` extra of pyproject.toml, for the Ray integration's tests.
$PYTHON -m pip install -q --disable-pip-version-check "ray[data]>=2.9" "tqdm>=4.60"

step "building and installing the module (warnings are errors)"
VANTORO_WERROR=ON $PYTHON -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps .

step "C++ unit tests"
cmake -S . -B build/native -G Ninja -DVANTORO_NATIVE_TESTS=ON -DVANTORO_WERROR=ON >/dev/null
cmake --build build/native
ctest --test-dir build/native --output-on-failure

step "Python tests"
(cd tests && $PYTHON -m pytest -q -p no:cacheprovider)

step "Python tests under AddressSanitizer and UndefinedBehaviorSanitizer"
rm -rf build/asan-site
VANTORO_WERROR=ON $PYTHON -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  --target build/asan-site -C cmake.define.VANTORO_SANITIZE=ON -C build-dir=build/asan .
ASAN_LIB=$(g++ -print-file-name=libasan.so)
UBSAN_LIB=$(g++ -print-file-name=libubsan.so)
# Reports go to files: pytest captures standard error, and an aborted test
# process would take a captured report with it.
REPORTS="$PWD/build/sanitizer-reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
if ! (cd tests && PYTHONPATH="$PWD/../build/asan-site" LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path="$REPORTS/asan" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path="$REPORTS/ubsan" \
  VANTORO_EXPECT_SANITIZED=1 $PYTHON -m pytest -q -p no:cacheprovider -x); then
  cat "$REPORTS"/* 2>/dev/null || true
  exit 1
fi
if compgen -G "$REPORTS/*" >/dev/null; then
  cat "$REPORTS"/*
  echo "sanitizer reports were written"
  exit 1
fi

step "worker pool under ThreadSanitizer (threads, several indexes, fork)"
bash tests/tsan/run_tsan.sh

if [ -x tests/fuzz/run_fuzz.sh ]; then
  step "short fuzz run of the index file reader"
  tests/fuzz/run_fuzz.sh "${FUZZ_SECONDS:-60}"
fi

step "all tests passed"
