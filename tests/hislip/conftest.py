"""The HiSLIP checks talk to the simulator only, inside the private network
namespace of tests/netns_run.sh; they refuse to run anywhere else."""
import os
import socket

import pytest


def pytest_configure(config):
    names = [name for _, name in socket.if_nameindex()]
    if names != ["lo"] or os.environ.get("VX_NETNS_ISOLATED") != "1":
        raise pytest.UsageError("run these tests through tests/netns_run.sh (private network namespace)")
