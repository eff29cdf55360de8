"""pyvisa backend over vx_comm_lib: pyvisa.ResourceManager("@vxcomm").

    import pyvisa
    rm = pyvisa.ResourceManager("@vxcomm")
    print(rm.list_resources())
    with rm.open_resource("TCPIP0::192.168.1.20::18::SOCKET", read_termination="\\n") as inst:
        print(inst.query("*IDN?"))

Resource names: TCPIP[board]::host::18::SOCKET is the TCP route,
USB[board]::0x03EB::0xAFFF::serial[::0]::INSTR the direct USB route. Any
other name goes to the library as it is: to the VISA library when one is
installed, else TCPIP::host::port::SOCKET opens raw TCP,
TCPIP::host[::instN]::INSTR VXI-11 and TCPIP::host::hislipN::INSTR
HiSLIP, and other names fail.
"""
from vxcomm import __version__

from .highlevel import VxCommVisaLibrary, to_library, to_pyvisa

WRAPPER_CLASS = VxCommVisaLibrary

__all__ = ["VxCommVisaLibrary", "WRAPPER_CLASS", "to_library", "to_pyvisa", "__version__"]
