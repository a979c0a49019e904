#!/usr/bin/env bash
# Builds the fuzz driver of the saved-index reader and runs it for SECONDS
# (default 60): libFuzzer under clang with AddressSanitizer and
# UndefinedBehaviorSanitizer when clang++ with libFuzzer is already
# installed, else a random-mutation driver built by g++ with the same
# sanitizers. Installs nothing. Exits non-zero when the driver finds a crash.
#
#   tests/fuzz/run_fuzz.sh SECONDS
#
# FUZZ_BUILD_DIR (default build/fuzz) holds the binary, the growing corpus
# and any crashing input; FUZZ_STANDALONE=1 skips libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${1:-60}
out=${FUZZ_BUILD_DIR:-build/fuzz}
mkdir -p "$out/corpus"

# The reader, the writer and the parts of the engine that a load builds.
sources="tests/fuzz/decode_fuzz.cpp
  utils/persist/json_reader.cpp utils/persist/json_writer.cpp utils/persist/format_error.cpp
  utils/persist/number_text.cpp utils/persist/quoted_text.cpp utils/persist/index_loader.cpp utils/persist/utf8.cpp
  utils/index/builder.cpp utils/index/mirror_builder.cpp utils/index/index.cpp utils/index/posting_list.cpp
  utils/index/string_table.cpp utils/index/hash.cpp utils/index/hash_ids.cpp utils/index/big_alloc.cpp utils/index/document_maps.cpp"
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -pthread"

# shellcheck disable=SC2086
if [ -z "${FUZZ_STANDALONE:-}" ] && command -v clang++ >/dev/null 2>&1 &&
  clang++ -std=c++20 -O1 -g $sanitize -fsanitize=fuzzer -Iutils $sources -o "$out/decode_fuzz" 2>"$out/build.log"; then
  echo "libFuzzer run: ${seconds}s"
  status=0
  "$out/decode_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -dict=tests/fuzz/json.dict -artifact_prefix="$out/" -print_final_stats=1 \
    "$out/corpus" tests/fuzz/corpus >"$out/fuzz.log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$out/fuzz.log"
    echo "the fuzz driver failed (exit $status); the crashing input is in $out/"
    exit "$status"
  fi
  grep -E '^(Done |stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' "$out/fuzz.log"
  echo "fuzz run: no crash"
  exit 0
fi

echo "clang with libFuzzer is not available: random-mutation run under g++ (${seconds}s)"
# shellcheck disable=SC2086
g++ -std=c++20 -O1 -g $sanitize -DVANTORO_STANDALONE_FUZZ -Iutils $sources -o "$out/decode_fuzz_standalone"
"$out/decode_fuzz_standalone" "$seconds" tests/fuzz/corpus
