#!/usr/bin/env bash
# Runs every test of the project: the C++ suite (plain with -Werror, then with
# AddressSanitizer + UBSan, then the threaded suites with ThreadSanitizer) and
# the Python suite against the installed package. Installs what it needs.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

missing=()
for pkg in g++ clang cmake libgtest-dev libbenchmark-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || command -v "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
python3 -m pip install -q --disable-pip-version-check pytest

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

build() {  # build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" "${generator[@]}" -DSIGTAP_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== C++ tests (warnings as errors; benchmarks compiled, not run)"
build build/test-release -DSIGTAP_BUILD_BENCH=ON
ctest --test-dir build/test-release --output-on-failure -j"$jobs"

echo "== C++ tests under AddressSanitizer + UBSan"
build build/test-asan -DSIGTAP_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/test-asan --output-on-failure -j"$jobs"

echo "== threaded C++ tests under ThreadSanitizer"
build build/test-tsan -DSIGTAP_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
TSAN_OPTIONS=halt_on_error=1 \
  ctest --test-dir build/test-tsan --output-on-failure -j"$(( jobs > 4 ? 4 : jobs ))" \
  -R '(^|/)(Queue|Mem|Channel|Periodic|Subscription|File|Udp|Tcp)'

echo "== fuzz targets, about a minute each (tools/fuzz.sh SECONDS for longer runs)"
bash tools/fuzz.sh "${SIGTAP_FUZZ_SECONDS:-60}"

echo "== Python tests"
python3 -m pip install -q --disable-pip-version-check .
export SIGTAP_TEXT_FORMS_DUMP="$PWD/build/test-release/tests/cpp/text_forms_dump"
(cd tests/python && python3 -m pytest -q -p no:cacheprovider .)
