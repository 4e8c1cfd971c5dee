"""The CIO boards a sandbox can have, each set up as the daemon finds it:
the hardware revision in etc/device.conf, the board on the device it
opens, and what of the host it reads (GPIO lines, converter, temperature
sensors).

    board = attach(sandbox, "via")
"""

from .cio_cirrus import CirrusBoard
from .cio_compact import CompactBoard
from .cio_usb import UsbBoard
from .cio_via import ViaBoard
from .sysfs import Hwmon, IioAdc

# name: (revision, lines, what it is)
BOARDS = {
    "via": (1, 4, "the 4-line VIA board on a serial port"),
    "usb": (2, 8, "the 8-line USB control board"),
    "cirrus": (3, 2, "the 2-line board of the Cirrus Logic based terminal"),
    "compact": (4, 2, "the 2-line compact board"),
}
HOST_TEMP = 42000  # millidegrees, for the boards that read the host's sensors


def attach(sandbox, name, pace=None):
    """Sets the sandbox up for the board and attaches its simulator; pace as
    for the USB board (the others stream as fast as the daemon reads)."""
    revision = BOARDS[name][0]
    sandbox.write("etc/device.conf", f"cio=1\nrevision={revision}\n")
    if name == "usb":
        sandbox.write("sys/class/thermal/thermal_zone0/temp", f"{HOST_TEMP}\n")
        return sandbox.attach(UsbBoard(sandbox.pty("serial/by-id/usb-dorn"), pace=pace))
    if name == "via":
        # Sensor 1 of hwmon0 reads raw: 125316 is 43 degrees.
        Hwmon(sandbox).set_temp(0, 1, 125316)
        pty = sandbox.pty("ttyS1")
        return sandbox.attach(ViaBoard(pty, sandbox.modem_lines(pty)))
    chip = sandbox.chip or sandbox.gpio()
    if name == "cirrus":
        return sandbox.attach(CirrusBoard(sandbox.pty("ttyAM1"), chip, IioAdc(sandbox)))
    return sandbox.attach(CompactBoard(sandbox.pty("ttyS4"), chip, IioAdc(sandbox)))
