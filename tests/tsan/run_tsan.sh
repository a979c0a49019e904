#!/usr/bin/env bash
# Builds the stress programs with ThreadSanitizer and runs them: concurrent
# batch searches on several indexes from several threads, with forks in
# between; two-thread loads and saves; and descriptors closed in the
# background while the process forks. Exits non-zero on a wrong answer or
# any report.
#
#   tests/tsan/run_tsan.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/../.."

out=${TSAN_BUILD_DIR:-build/tsan}
mkdir -p "$out/obj"
flags="-std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer -Wall -Wextra -Werror -Iutils"
sources=$(ls utils/index/*.cpp utils/persist/*.cpp utils/progress/*.cpp)
# One compiler per source, JOBS at a time.
# shellcheck disable=SC2086
printf '%s\n' tests/tsan/pool_stress.cpp tests/tsan/load_stress.cpp tests/native/background_close_test.cpp $sources | xargs -P "${JOBS:-2}" -I{} sh -c \
  'g++ '"$flags"' -c "$1" -o "$2/obj/$(echo "$1" | tr / _).o"' _ {} "$out"
objects=$(printf "$out/obj/%s.o " $(printf '%s\n' $sources | tr / _))
for program in tsan/pool_stress tsan/load_stress native/background_close_test; do
  # shellcheck disable=SC2086
  g++ -fsanitize=thread -pthread "$out/obj/tests_$(echo "$program" | tr / _).cpp.o" $objects -o "$out/${program#*/}"
done
# die_after_fork=0: a child of the threaded process may start threads (its pool).
TSAN_OPTIONS="halt_on_error=1:exitcode=66:die_after_fork=0:second_deadlock_stack=1" "$out/pool_stress" "${1:-40}"
TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1" "$out/load_stress"
TSAN_OPTIONS="halt_on_error=1:exitcode=66:die_after_fork=0:second_deadlock_stack=1" "$out/background_close_test"
