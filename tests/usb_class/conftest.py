"""The USB class-device checks talk to the simulator's bus socket only, in
the private /run and network namespace of tests/netns_run.sh."""
import os
import socket

import pytest


def pytest_configure(config):
    names = [name for _, name in socket.if_nameindex()]
    if names != ["lo"] or os.environ.get("VX_PRIVATE_RUN") != "1":
        raise pytest.UsageError("run these tests through tests/netns_run.sh (private /run and namespace)")
