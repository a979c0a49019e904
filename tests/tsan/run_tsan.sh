#!/usr/bin/env bash
# Builds the worker-pool stress program with ThreadSanitizer and runs it:
# concurrent batch searches on several indexes from several threads, with
# forks in between. Exits non-zero on a wrong answer or any report.
#
#   tests/tsan/run_tsan.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/../.."

out=${TSAN_BUILD_DIR:-build/tsan}
mkdir -p "$out/obj"
flags="-std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer -Wall -Wextra -Werror -Iutils"
sources=$(ls tests/tsan/pool_stress.cpp utils/index/*.cpp utils/progress/*.cpp)
# One compiler per source, JOBS at a time.
# shellcheck disable=SC2086
printf '%s\n' $sources | xargs -P "${JOBS:-2}" -I{} sh -c \
  'g++ '"$flags"' -c "$1" -o "$2/obj/$(echo "$1" | tr / _).o"' _ {} "$out"
# shellcheck disable=SC2046
g++ -fsanitize=thread -pthread $(printf "$out/obj/%s.o " $(printf '%s\n' $sources | tr / _)) -o "$out/pool_stress"
# die_after_fork=0: a child of the threaded process may start threads (its pool).
TSAN_OPTIONS="halt_on_error=1:exitcode=66:die_after_fork=0:second_deadlock_stack=1" "$out/pool_stress" "${1:-40}"
