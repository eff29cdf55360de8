#!/usr/bin/python3
"""The library's mDNS search against liblxi's Avahi browse (Debian's lxi-tools,
`lxi discover -m`), on the responders of tests/mdns_avahi.sh, in one run:

    bash scripts/bench.sh --mdns [ROUNDS]

(which runs it as tests/netns_run.sh -- tests/mdns_avahi.sh VXSIM -- python3
bench/mdns_bench.py ROUNDS, with VX_COMM_LIB and PYTHONPATH set).

Each round, taking turns at going first:
- the library: vx_comm_find(IFACE_MDNS) with tmoMs rising along a ladder
  until the list holds every instrument of the harness (its *IDN? of the
  one without TXT keys and the IPv6-only one included, the silent one
  without model and serial); the figure is the
  smallest such tmoMs (the call takes that long: the search listens for
  all of it) and the call's wall time;
- liblxi: a fresh avahi-daemon on this side's card with a D-Bus system bus
  of the bench's own (as on a desktop), once it has started up, then `lxi
  discover -m -t 1` twice (the second time the daemon's cache holds the
  services); the figure is the time from the command's start to the line of
  the last service it lists (its IPv4 browse cannot list the IPv6-only
  instrument), and its wall time (it always waits its whole timeout, whole
  seconds, at least one).
Medians over the rounds. Runs only inside the harness's namespace."""

import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

CARD = "vxt0"
LADDER_MS = [1, 2, 5, 10, 20, 30, 40, 50, 60, 80, 100, 150, 200, 300, 500, 1000, 2000]
LIBRARY_WANTS = {
    ("MODEL-H", "SN-H1", "TCPIP0::198.18.0.2::hislip0::INSTR"),
    ("MODEL-S", "SN-S2", "TCPIP0::198.18.0.2::5025::SOCKET"),
    ("MODEL-V", "SN-V3", "TCPIP0::198.18.0.2::inst0::INSTR"),
    ("MODEL-P", "SN-P4", "TCPIP0::198.18.0.3::5025::SOCKET"),  # by its *IDN?
    ("MODEL-6", "SN-6", "TCPIP0::[fd00:198:18::6]::hislip0::INSTR"),
    ("", "", "TCPIP0::198.18.0.9::5025::SOCKET"),  # nobody there to ask *IDN?
}
# The instance names lxi prints: three instruments each also as _lxi, and
# the two without keys.
LXI_WANTS = {"VXSIM HISLIP 0001": 2, "VXSIM SOCKET 0002": 2, "VXSIM VXI11 0003": 2, "VXSIM PLAIN 0004": 1,
             "VXSIM SILENT 0006": 1}
AVAHI = "/usr/sbin/avahi-daemon"


def isolated():
    names = sorted(n for _, n in socket.if_nameindex())
    return os.environ.get("VX_NETNS_ISOLATED") == "1" and os.environ.get("VX_NETNS_OWN_IFACES") == CARD and \
        names == sorted(["lo", CARD])


def library_round(vxcomm):
    """(smallest complete tmoMs, wall seconds of that call)."""
    for t in LADDER_MS:
        start = time.perf_counter()
        found = vxcomm.find("mdns", timeout=t)
        took = time.perf_counter() - start
        if LIBRARY_WANTS <= {(d.model, d.serial, d.address) for d in found}:
            return t, took
    return None, None


class Near:
    """An avahi-daemon on this side's card, talking to the bench's bus, in a
    mount namespace of its own (its own /run, no services, the avahi user as
    root: tests/mdns_avahi.sh explains why)."""

    def __init__(self, work, env):
        self.work, self.env = work, env
        self.log = os.path.join(work, "near.log")
        if os.path.exists(self.log):
            os.remove(self.log)  # the last daemon's, which says it started
        script = ('mount -t tmpfs -o mode=0755 tmpfs /run && mount --bind "$1/none" /etc/avahi/services && '
                  'mount --bind "$1/no-hosts" /etc/avahi/hosts && mount --bind "$1/passwd" /etc/passwd && '
                  'mount --bind "$1/group" /etc/group || exit 2; exec "$2" -f "$1/near.conf" --no-drop-root '
                  '--no-chroot --no-rlimits --no-proc-title 2>"$1/near.log"')
        self.proc = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "--", "bash", "-c", script,
                                      "mdns_bench_near", work, AVAHI], env=env)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                break
            try:
                with open(self.log) as f:
                    if "Server startup complete" in f.read():
                        return
            except FileNotFoundError:
                pass
            time.sleep(0.05)
        self.stop()
        sys.exit("mdns_bench: the near avahi-daemon did not start:\n" + open(self.log).read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def lxi_discover(env):
    """(seconds to the last wanted service line, wall seconds), or (None, wall)
    when a wanted service was not listed."""
    start = time.perf_counter()
    p = subprocess.Popen(["stdbuf", "-oL", "lxi", "discover", "-m", "-t", "1"], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, env=env, text=True)
    seen, last, text = {}, 0.0, []
    for line in p.stdout:
        text.append(line)
        now = time.perf_counter() - start
        for name in LXI_WANTS:
            if '"%s"' % name in line:
                seen[name] = seen.get(name, 0) + 1
                last = now
    p.wait()
    wall = time.perf_counter() - start
    complete = all(seen.get(n, 0) >= k for n, k in LXI_WANTS.items())
    if not complete:
        sys.stdout.write("lxi discover -m listed too little:\n" + "".join(text))
    return (last if complete else None), wall


def write_setup(work):
    bus = os.path.join(work, "bus")
    with open(os.path.join(work, "bus.conf"), "w") as f:
        f.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"\n'
                ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
                '<busconfig><type>system</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth>'
                '<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>'
                '<allow receive_sender="*"/></policy></busconfig>\n' % bus)
    with open(os.path.join(work, "near.conf"), "w") as f:
        f.write("[server]\nhost-name=vxsim-near\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\n"
                "allow-interfaces=%s\nenable-dbus=yes\n[wide-area]\nenable-wide-area=no\n[publish]\n"
                "publish-addresses=yes\npublish-hinfo=no\npublish-workstation=no\npublish-domain=no\n"
                "[reflector]\nenable-reflector=no\n[rlimits]\n" % CARD)
    os.mkdir(os.path.join(work, "none"))
    open(os.path.join(work, "no-hosts"), "w").close()
    with open("/etc/passwd") as src, open(os.path.join(work, "passwd"), "w") as dst:
        dst.writelines(l for l in src if not l.startswith("avahi:"))
        dst.write("avahi:x:0:0:avahi:/nonexistent:/usr/sbin/nologin\n")
    with open("/etc/group") as src, open(os.path.join(work, "group"), "w") as dst:
        dst.writelines(l for l in src if not l.startswith("avahi:"))
        dst.write("avahi:x:0:\n")
    for name in ("passwd", "group", "no-hosts"):
        os.chmod(os.path.join(work, name), 0o644)
    os.chmod(work, 0o755)
    return bus


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def show(v, unit_ms=True):
    return "-" if v is None else ("%.0f ms" % (v * 1000) if unit_ms else "%d ms" % v)


def main(argv):
    if not isolated():
        sys.exit("mdns_bench: refusing to run outside the namespace of tests/mdns_avahi.sh (lo and %s only)" % CARD)
    if not shutil.which("lxi") or not shutil.which("dbus-daemon"):
        sys.exit("mdns_bench: needs lxi (Debian's lxi-tools) and dbus-daemon")
    rounds = int(argv[1]) if len(argv) > 1 else 7
    import vxcomm  # noqa: E402 (after the checks: it loads the library)
    work = tempfile.mkdtemp(prefix="mdns_bench.")
    bus_daemon = None
    try:
        bus = write_setup(work)
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + bus)
        bus_daemon = subprocess.Popen(["dbus-daemon", "--nofork", "--nopidfile", "--config-file",
                                       os.path.join(work, "bus.conf")], env=env)
        for _ in range(100):
            if os.path.exists(bus):
                break
            time.sleep(0.05)
        lib_t, lib_wall, cold, cold_wall, warm, warm_wall = [], [], [], [], [], []  # warm: the second lxi run
        for r in range(rounds):
            def run_lib():
                t, wall = library_round(vxcomm)
                lib_t.append(t)
                lib_wall.append(wall)

            def run_lxi():
                near = Near(work, env)
                try:
                    c = lxi_discover(env)
                    w = lxi_discover(env)
                finally:
                    near.stop()
                cold.append(c[0])
                cold_wall.append(c[1])
                warm.append(w[0])
                warm_wall.append(w[1])

            for step in ((run_lib, run_lxi) if r % 2 == 0 else (run_lxi, run_lib)):
                step()
            print("round %d: library %s (call %s); lxi first %s (wall %s), again %s (wall %s)"
                  % (r + 1, show(lib_t[-1], False), show(lib_wall[-1]), show(cold[-1]), show(cold_wall[-1]),
                     show(warm[-1]), show(warm_wall[-1])), flush=True)
        print("\nmedians of %d rounds:" % rounds)
        print("| client | time until every instrument is listed | the call's wall time | rounds complete |")
        print("|---|---|---|---|")
        print("| library, vx_comm_find(IFACE_MDNS), smallest complete tmoMs | %s | %s | %d of %d |"
              % (show(median(lib_t), False), show(median(lib_wall)), sum(t is not None for t in lib_t), rounds))
        print("| liblxi via a fresh avahi-daemon, first `lxi discover -m -t 1` | %s | %s | %d of %d |"
              % (show(median(cold)), show(median(cold_wall)), sum(t is not None for t in cold), rounds))
        print("| liblxi, the same again (the daemon's cache filled) | %s | %s | %d of %d |"
              % (show(median(warm)), show(median(warm_wall)), sum(t is not None for t in warm), rounds))
        return 0
    finally:
        if bus_daemon:
            bus_daemon.terminate()
            bus_daemon.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
