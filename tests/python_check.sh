#!/usr/bin/env bash
# Installs the Python binding and its pyvisa backend into a fresh virtual
# environment the way a user would (pip install ./python, no package index,
# this build's library carried in the package) and runs their tests there,
# against the simulator (two LAN instruments and one USB instrument), with
# Debian's pyvisa and pyvisa-py.
#
#   python_check.sh SOURCE_DIR LIBRARY SIM VISA_DIR
#
# VISA_DIR holds the fixture VISA library (libvisa.so), for the backend's
# VISA route.
set -euo pipefail
src=$1 library=$(realpath "$2") sim=$3 visa_dir=$(realpath "$4")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Debian's interpreter, whose pytest comes from python3-pytest.
python=/usr/bin/python3
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-index --quiet --disable-pip-version-check --config-settings library="$library" "$src/python"
cd "$work"  # import the installed package, not the source folder
VX_COMM_LIB=$library LD_LIBRARY_PATH=$visa_dir "$src/tests/netns_run.sh" --sim "$sim" --sim-arg --usb --sim-arg VX0000000000000USB \
  --sim-arg --usb --sim-arg CLASS0001 --sim-arg --usb-class --sim-arg 2a8d:0396 -- \
  "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$src/python/tests"
