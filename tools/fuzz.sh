#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs each
# for a bounded time, seeded with the real files in tests/data.
#   tools/fuzz.sh [SECONDS_PER_TARGET] [TARGET_NAME_FILTER]
# CI runs it for about a minute per target; give it more for longer runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
filter=${2:-}
data=tests/data

if ! command -v clang++ >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang
fi

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B build/fuzz "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DSIGTAP_SANITIZE=fuzzer -DSIGTAP_BUILD_TESTS=OFF >/dev/null
cmake --build build/fuzz  # CMAKE_BUILD_PARALLEL_LEVEL jobs when set

# Seeds: every target reads the corpus folder named in its first line
# ("// seeds: dbc" or "// seeds: sbf"), copied so the fuzzer may add to it.
# The targets run side by side, one process each.
run_target() {  # run_target SOURCE
  local src=$1 name kind corpus log
  name=$(basename "$src" .cpp)
  kind=$(sed -n '1s|.*seeds: *\([a-z]*\).*|\1|p' "$src")
  corpus=build/fuzz/corpus/$name
  log=build/fuzz/$name.log
  mkdir -p "$corpus"
  if [[ -n "$kind" && -d "$data/$kind" ]]; then
    find "$data/$kind" -type f ! -name 'LICENSE*' ! -name '*.md' -size -1M -exec cp -n {} "$corpus/" \; 2>/dev/null || true
  fi
  build/fuzz/tests/fuzz/"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/"$name"- "$corpus" >"$log" 2>&1
}

shopt -s nullglob
pids=()
names=()
for src in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  [[ -n "$filter" && "$name" != *"$filter"* ]] && continue
  echo "== fuzzing $name for ${seconds}s"
  run_target "$src" &
  pids+=($!)
  names+=("$name")
done

status=0
for i in "${!pids[@]}"; do
  name=${names[$i]}
  if wait "${pids[$i]}"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build/fuzz/$name.log" | tail -1)
    echo "$name: ${runs:-?} executions, no failure"
  else
    echo "$name FAILED:"
    tail -60 "build/fuzz/$name.log"
    status=1
  fi
done
exit $status
