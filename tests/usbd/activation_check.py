#!/usr/bin/env python3
"""vxusbd as systemd starts it: the listening socket handed over as fd 3
(LISTEN_PID, LISTEN_FDS), a LIST answered on it, a clean stop on SIGTERM.
Run inside tests/netns_run.sh (a private /run) and under umockdev-run, so
that the service sees an empty emulated /sys and /dev, never the machine's.

    activation_check.py VXUSBD
"""
import os
import signal
import socket
import struct
import subprocess
import sys
import time

vxusbd = sys.argv[1]
if os.environ.get("VX_PRIVATE_RUN") != "1" or "UMOCKDEV_DIR" not in os.environ:
    sys.exit("activation_check: run me through tests/netns_run.sh and umockdev-run")

failed = []


def check(name, ok):
    if not ok:
        failed.append(name)
        print("FAILED:", name, file=sys.stderr)


help_text = subprocess.run([vxusbd, "--help"], capture_output=True, text=True, timeout=10)
check("--help names the three steps", help_text.returncode == 0 and "1. sudo systemctl enable --now vxusbd.socket" in help_text.stdout)
check("unknown option", subprocess.run([vxusbd, "--bogus"], capture_output=True, timeout=10).returncode == 2)

path = "/run/vx_comm_lib/usb.sock"
os.makedirs(os.path.dirname(path), exist_ok=True)
if os.path.exists(path):
    os.unlink(path)
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
listener.bind(path)
listener.listen(8)
inode = os.stat(path).st_ino

log_r, log_w = os.pipe()
pid = os.fork()
if pid == 0:
    os.dup2(listener.fileno(), 3)
    os.dup2(log_w, 2)
    os.environ["LISTEN_PID"] = str(os.getpid())
    os.environ["LISTEN_FDS"] = "1"
    os.execv(vxusbd, [vxusbd, "--foreground"])
os.close(log_w)
listener.close()

reply = b""
for _ in range(100):
    try:
        c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        c.settimeout(5)
        c.connect(path)
        c.sendall(struct.pack("<II", 4, 1))
        head = c.recv(4)
        (n,) = struct.unpack("<I", head)
        while len(reply) < n:
            chunk = c.recv(n - len(reply))
            if not chunk:
                break
            reply += chunk
        break
    except OSError:
        time.sleep(0.05)
check("LIST answered on the handed socket, with no devices", reply == struct.pack("<I", 0))
check("the handed socket is kept, not bound again", os.stat(path).st_ino == inode)

os.kill(pid, signal.SIGTERM)
status = 1
for _ in range(100):
    done, st = os.waitpid(pid, os.WNOHANG)
    if done:
        status = st
        break
    time.sleep(0.05)
else:
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
check("stops cleanly on SIGTERM", os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0)
log = os.read(log_r, 65536).decode(errors="replace")
check("logs that it serves the socket systemd passed", "vxusbd: serving the socket systemd passed" in log)
check("logs why there are no devices", "vxusbd: no USB:" in log)
print(log, end="")
sys.exit(1 if failed else 0)
