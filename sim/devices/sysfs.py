"""Fake sysfs trees of a terminal's analogue sensors: the IIO converter and
the hwmon temperature sensors.

Plain files in the sandbox. The daemon keeps the converter's channel files
open and reads each from offset 0 again for every reading, as the kernel
makes a fresh reading on each read; so a value is written over the old one
in place, right-aligned to a fixed width (a number reader skips the
blanks), never by truncating or replacing the file: a reader sees the old
value or the new one, never an empty file.
"""

import math
import os
import shutil

WIDTH = 11  # a signed 32-bit number in decimal


def _write_in_place(path, value):
    text = f"{value:>{WIDTH}}\n".encode()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.isdir(path):
        shutil.rmtree(path)
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        os.pwrite(fd, text, 0)
        os.ftruncate(fd, len(text))  # only ever shrinks what another width left
    finally:
        os.close(fd)


def _write_text(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.isdir(path):
        shutil.rmtree(path)
    with open(path, "w") as f:
        f.write(text)


def _unreadable(path):
    """A file that exists but cannot be read: even root cannot read a directory."""
    if os.path.lexists(path) and not os.path.isdir(path):
        os.unlink(path)
    os.makedirs(path, exist_ok=True)


class IioAdc:
    """An IIO converter at sys/bus/iio/devices/iio:device<n>: in_voltage<ch>_raw
    for each channel, and the scale (millivolts per count) and offset (counts
    added to each reading) attributes unless they are None."""

    def __init__(self, sandbox, channels=5, scale=0.43956043956043955, offset=None, device=0, bits=16):
        self.dir = sandbox.path(f"sys/bus/iio/devices/iio:device{device}")
        self.channels = channels
        self.max = (1 << bits) - 1
        os.makedirs(self.dir, exist_ok=True)
        self.scale = scale
        self.offset = offset
        for ch in range(channels):
            self.set_raw(ch, 0)

    @property
    def scale(self):
        return self._scale

    @scale.setter
    def scale(self, value):
        self._scale = value
        self._attribute("scale", value)

    @property
    def offset(self):
        return self._offset

    @offset.setter
    def offset(self, value):
        self._offset = value
        self._attribute("offset", value)

    def _attribute(self, name, value):
        """An attribute of the device, or none when the value is None."""
        path = os.path.join(self.dir, name)
        if value is not None:
            _write_text(path, f"{value!r}\n")
        elif os.path.exists(path):
            os.unlink(path)

    def channel_path(self, ch):
        return os.path.join(self.dir, f"in_voltage{ch}_raw")

    def set_raw(self, ch, raw):
        _write_in_place(self.channel_path(ch), int(raw))

    def raw(self, ch):
        with open(self.channel_path(ch)) as f:
            return int(f.read())

    def counts(self, millivolts):
        """The reading that stands for a voltage at the converter's input:
        the smallest one at or above it, so that a reading turned back into
        whole units and truncated gives the voltage again; clamped to the
        converter's range."""
        scale = self.scale if self.scale is not None else 0.43956043956043955
        raw = math.ceil(millivolts / scale - 1e-9) - (self.offset or 0)
        return max(0, min(self.max, raw))

    def set_mv(self, ch, millivolts):
        """Sets a channel to the reading of that input voltage; the reading."""
        raw = self.counts(millivolts)
        self.set_raw(ch, raw)
        return raw

    def set_text(self, ch, text):
        """Any text in a channel's file, for a driver's bad day."""
        _write_text(self.channel_path(ch), text)

    def break_channel(self, ch):
        """The channel's file exists but cannot be read."""
        _unreadable(self.channel_path(ch))

    def remove_channel(self, ch):
        path = self.channel_path(ch)
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.unlink(path)


class Hwmon:
    """sys/class/hwmon: devices hwmon0, hwmon1, ..., each with a name and
    temperature sensors temp<n>_input in millidegrees Celsius, on the
    device itself or, as older drivers have them, under its device/."""

    def __init__(self, sandbox):
        self.dir = sandbox.path("sys/class/hwmon")
        os.makedirs(self.dir, exist_ok=True)

    def sensor_path(self, dev, n, under_device=True):
        return os.path.join(self.dir, f"hwmon{dev}", "device" if under_device else "", f"temp{n}_input")

    def set_temp(self, dev, n, millidegrees, under_device=True):
        _write_in_place(self.sensor_path(dev, n, under_device), int(millidegrees))

    def set_name(self, dev, name):
        _write_text(os.path.join(self.dir, f"hwmon{dev}", "name"), name + "\n")

    def break_sensor(self, dev, n, under_device=True):
        _unreadable(self.sensor_path(dev, n, under_device))

    def remove_sensor(self, dev, n, under_device=True):
        path = self.sensor_path(dev, n, under_device)
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.unlink(path)
