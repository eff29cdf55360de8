"""One round of pyvisa-py's USB route (@py, pyusb over libusb) on the
emulated instrument of bench/usb_peer_bench.cpp, which starts this script
with umockdev's preload library and its testbed (UMOCKDEV_DIR), so that
libusb here reaches the same emulated device as vxusbd there.

    usb_peer_bench.py RESOURCE QUERIES BLOCK_BYTES

Prints one line: the seconds of the queries, of the block read and of the
block write with the "*IDN?" after it (the device has taken the whole block
once it answers), and this process's CPU seconds in the queries; or
"error: ..." and exits 1. VX_PEER_CHUNK (bytes) sets pyvisa's chunk_size,
which is also what pyvisa-py asks the device for per bulk in (default
20 KiB); VX_PEER_SEND_CHUNK pyvisa-py's USBTMC message size (default 1 MiB).
"""
import sys
import time

import os

import pyvisa


def main():
    resource, queries, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    if os.environ.get("VX_PEER_SEND_CHUNK"):
        from pyvisa_py.protocols import usbtmc

        usbtmc.USBTMC.RECV_CHUNK = int(os.environ["VX_PEER_SEND_CHUNK"])
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(resource)
    try:
        inst.timeout = 20000
        if os.environ.get("VX_PEER_CHUNK"):
            inst.chunk_size = int(os.environ["VX_PEER_CHUNK"])
        idn = inst.query("*IDN?")
        if not idn.strip():
            raise RuntimeError("no identification")
        t0, c0 = time.perf_counter(), time.process_time()
        for _ in range(queries):
            if not inst.query("*IDN?"):
                raise RuntimeError("empty reply")
        query_s, query_cpu = time.perf_counter() - t0, time.process_time() - c0
        t0 = time.perf_counter()
        block = inst.query_binary_values("DATA? %d" % size, datatype="B", container=bytes)
        read_s = time.perf_counter() - t0
        alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZ"
        if block != (alphabet * (size // 26 + 1))[:size]:
            raise RuntimeError("block of %d bytes not the device's pattern" % len(block))
        payload = bytes(block)
        t0 = time.perf_counter()
        inst.write_binary_values("SINK ", payload, datatype="B")
        if not inst.query("*IDN?").strip():
            raise RuntimeError("no reply after the write")
        write_s = time.perf_counter() - t0
        print("%.6f %.6f %.6f %.6f" % (query_s, read_s, write_s, query_cpu), flush=True)
    finally:
        inst.close()
        rm.close()


if __name__ == "__main__":
    try:
        main()
    except Exception as e:  # reported to the driver, which stops the run
        print("error: %s: %s" % (type(e).__name__, e), flush=True)
        sys.exit(1)
