#!/usr/bin/env bash
# Runs every test of the project: the C++ suite (plain with -Werror, then with
# AddressSanitizer + UBSan, then the threaded suites with ThreadSanitizer), the
# fuzz targets, and the Python suite against the package installed into the
# script's own virtual environment, build/venv. Installs what it needs: Debian
# packages through apt-get, pytest (and CMake or Ninja when the system has none
# or too old a one) from PyPI into build/venv. CMAKE_BUILD_PARALLEL_LEVEL sets
# how many jobs build and test at once (default: every core).
set -euo pipefail
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
jobs=$CMAKE_BUILD_PARALLEL_LEVEL

as_root=()
((EUID == 0)) || ! command -v sudo >/dev/null 2>&1 || as_root=(sudo)

apt_install() {  # apt_install PACKAGE...: installs those that are not installed yet
  local pkg missing=()
  for pkg in "$@"; do
    [[ $(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null) == installed ]] || missing+=("$pkg")
  done
  ((${#missing[@]})) || return 0
  echo "== installing from Debian: ${missing[*]}"
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

apt_install g++ clang libgtest-dev libbenchmark-dev

venv=build/venv
if [[ ! -x $venv/bin/pip ]]; then
  rm -rf "$venv"
  if ! python3 -m venv "$venv" >/dev/null 2>&1; then  # Debian keeps ensurepip in python3-venv
    rm -rf "$venv"
    apt_install python3-venv
    python3 -m venv "$venv"
  fi
fi
export PATH="$PWD/$venv/bin:$PATH"
pip() { python -m pip -q --disable-pip-version-check "$@"; }

# The C++ builds need CMake 3.20 (the wheel build fetches the 3.26 it needs itself).
pypi=(pytest)
cmake_version=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9]*\.[0-9]*\).*/\1/p' || true)
[[ -n $cmake_version ]] && printf '3.20\n%s\n' "$cmake_version" | sort -C -V || pypi+=("cmake>=3.20")
command -v ninja >/dev/null 2>&1 || pypi+=(ninja)
echo "== from PyPI into $venv: ${pypi[*]}"
pip install "${pypi[@]}"

build() {  # build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DSIGTAP_WERROR=ON "$@" >/dev/null
  cmake --build "$dir"
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
pip install .
export SIGTAP_TEXT_FORMS_DUMP="$PWD/build/test-release/tests/cpp/text_forms_dump"
(cd tests/python && python -m pytest -q -p no:cacheprovider .)
