#!/usr/bin/env python3
"""vxusbd as systemd starts it: the listening socket handed over as fd 3
(LISTEN_PID, LISTEN_FDS), a LIST answered on it, a clean stop on SIGTERM.
Then started without systemd: by root, it makes its folders and serves as
user vxusbd; by a user who cannot make /run/vx_comm_lib, it says so.
Run inside tests/netns_run.sh (a private /run and mount namespace) and
under umockdev-run, so that the service sees an empty emulated /sys and
/dev, never the machine's.

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


def list_devices(path):
    """The LIST reply's body, or None when nothing answers within 5 s."""
    for _ in range(100):
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as c:
                c.settimeout(5)
                c.connect(path)
                c.sendall(struct.pack("<II", 4, 1))
                (n,) = struct.unpack("<I", c.recv(4))
                reply = b""
                while len(reply) < n:
                    chunk = c.recv(n - len(reply))
                    if not chunk:
                        break
                    reply += chunk
                return reply
        except OSError:
            time.sleep(0.05)
    return None


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait()


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

# Without systemd. Changing to other users needs the real root (a user
# namespace of tests/netns_run.sh -r maps one uid only).
if open("/proc/self/uid_map").read().split() != ["0", "0", "4294967295"]:
    print("activation_check: not the real root: the starts without systemd are not checked")
    sys.exit(1 if failed else 0)
os.rename("/run/vx_comm_lib", "/run/vx_comm_lib.systemd")

# A user who cannot make the socket's folder is told, and nothing serves.
nobody = subprocess.run([vxusbd, "--foreground"], user=65534, group=65534, extra_groups=[],
                        capture_output=True, text=True, timeout=10)
check("a folder that cannot be made is named", nobody.returncode == 1 and
      "vxusbd: error: cannot make the folder /run/vx_comm_lib: Permission denied" in nobody.stderr)
print(nobody.stderr, end="")

# Root, with a user vxusbd and group plugdev in this mount namespace's own
# account files.
uid = 64123
for name, line in (("passwd", f"vxusbd:x:{uid}:{uid}::/nonexistent:/usr/sbin/nologin\n"),
                   ("group", f"vxusbd:x:{uid}:\nplugdev:x:46:\n")):
    kept = [l for l in open(f"/etc/{name}") if not l.startswith(("vxusbd:", "plugdev:"))]
    with open(f"/run/{name}", "w") as f:
        f.writelines(kept + [line])
    subprocess.run(["mount", "--bind", f"/run/{name}", f"/etc/{name}"], check=True, timeout=10)
proc = subprocess.Popen([vxusbd, "--foreground"], stderr=subprocess.PIPE, text=True)
try:
    check("root's start serves LIST", list_devices(path) == struct.pack("<I", 0))
    status = open(f"/proc/{proc.pid}/status").read()
    check("and runs as user vxusbd", f"Uid:\t{uid}\t{uid}\t{uid}\t{uid}" in status)
    for what, p, gid, mode in (("the lock folder", "/run/vx_comm_lib/lock", 46, 0o3770),
                               ("the socket", path, 46, 0o660)):
        st = os.stat(p) if os.path.exists(p) else None
        check(f"{what} is group plugdev's, {mode:o}", st and st.st_gid == gid and (st.st_mode & 0o7777) == mode)
finally:
    check("root's start stops cleanly", stop(proc) == 0)
print(proc.stderr.read(), end="")
