#!/usr/bin/env bash
# Builds both products from this tree and runs every test: the Linux
# library natively, under ASan+UBSan and under TSan, and the Windows DLL
# cross-built with mingw-w64 and tested under Wine. Every suite that opens
# a socket runs in a private network namespace (tests/netns_run.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/deps.sh all

jobs=$(nproc)
out=${VX_BUILD_ROOT:-$top/build}
failed=()

configure_and_build() {  # name, cmake args...
  local name=$1
  shift
  echo "== build: $name"
  cmake -S "$top" -B "$out/$name" -G Ninja "$@" >"$out/$name.configure.log" 2>&1 ||
    { cat "$out/$name.configure.log"; return 1; }
  cmake --build "$out/$name" -j "$jobs" >"$out/$name.build.log" 2>&1 ||
    { tail -n 60 "$out/$name.build.log"; return 1; }
}

run_tests() {  # name, ctest args...
  local name=$1
  shift
  echo "== test: $name"
  (cd "$out/$name" && ctest --output-on-failure --timeout 900 "$@") || failed+=("$name")
}

mkdir -p "$out"
# The test suite is built only when asked for; the native gcc build also
# keeps the tree free of compiler warnings.
configure_and_build native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_BUILD_TESTS=ON -DVX_WERROR=ON
run_tests native -j "$jobs"

configure_and_build asan -DCMAKE_BUILD_TYPE=Debug -DVX_BUILD_TESTS=ON -DVX_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 run_tests asan -j "$jobs"

configure_and_build tsan -DCMAKE_BUILD_TYPE=Debug -DVX_BUILD_TESTS=ON -DVX_SANITIZE=thread
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_tests tsan -j "$jobs"

# The fuzz targets (clang, libFuzzer), each run for a short while.
echo "== build: fuzz"
cmake -S "$top" -B "$out/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$out/fuzz.configure.log" 2>&1 ||
  { cat "$out/fuzz.configure.log"; exit 1; }
cmake --build "$out/fuzz" -j "$jobs" --target fuzzers >"$out/fuzz.build.log" 2>&1 ||
  { tail -n 60 "$out/fuzz.build.log"; exit 1; }
run_tests fuzz

configure_and_build mingw -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_BUILD_TESTS=ON \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" -DVX_SIM="$out/native/bin/vxsim"
run_tests mingw

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all builds passed: native, asan, tsan, fuzz, mingw (Wine)"
