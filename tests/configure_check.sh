#!/usr/bin/env bash
# Configures the source tree as the README's install does, on a machine
# without GoogleTest's sources (pointed at an empty folder): the plain
# configuration builds the library and the programs and no test; one that
# asks for the tests without GoogleTest stops with what to install.
#
#   configure_check.sh SOURCE_DIR
set -u
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/no-googletest"
failed=0
fail() { echo "configure_check: $*" >&2; failed=1; }

# case: options, whether configuring succeeds, a text its output holds
while IFS='|' read -r name options ok text; do
  # shellcheck disable=SC2086
  cmake -S "$src" -B "$work/$name" -G Ninja -DVX_GTEST_SOURCE_DIR="$work/no-googletest" $options \
    >"$work/$name.log" 2>&1
  rc=$?
  if [ "$ok" = yes ] && [ $rc != 0 ]; then fail "$name: configuring failed"; cat "$work/$name.log" >&2; continue; fi
  if [ "$ok" = no ] && [ $rc = 0 ]; then fail "$name: configuring succeeded without GoogleTest"; continue; fi
  grep -q "$text" "$work/$name.log" || { fail "$name: the output lacks '$text'"; cat "$work/$name.log" >&2; }
done <<'CASES'
plain||yes|Build files have been written
tests-asked|-DVX_BUILD_TESTS=ON|no|install Debian's googletest
CASES

# What the plain build makes: the library and the programs, nothing of the
# test suite nor the benchmarks.
if [ -f "$work/plain/build.ninja" ]; then
  steps=$(ninja -C "$work/plain" -n all 2>&1)
  for want in bin/libvx_comm_lib.so bin/vxcomm bin/vxsim; do
    grep -q "Linking .* $want" <<<"$steps" || fail "plain: $want is not built"
  done
  built=$(grep -E 'vx_unit_tests|vx_api_tests|gtest|vxbench' <<<"$steps" | head -3 | tr '\n' ' ')
  [ -z "$built" ] || fail "plain: the test suite or the benchmarks are built: $built"
fi
exit $failed
