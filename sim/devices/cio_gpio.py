"""What the simulators of boards wired to the terminal's GPIO lines share:
the levels of those lines as the board last saw them."""


class GpioSwitches:
    """Mixin for a board that keeps the levels of its GPIO lines in
    self._gpio (under self._lock) and names its filter and four-wire lines."""

    FILTER_GPIO = None
    FOUR_WIRE_GPIO = None

    def _level(self, gpio):
        with self._lock:
            return self._gpio.get(gpio, 0)

    @property
    def filter(self):
        return bool(self._level(self.FILTER_GPIO))

    @property
    def four_wire(self):
        return bool(self._level(self.FOUR_WIRE_GPIO))
