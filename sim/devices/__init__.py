"""The terminal's hardware, simulated: the serial coprocessor, GPIO lines,
front LEDs, analogue sensors, the intercoms on the RS-485 buses, the
control concentrators, the CIO boards, and the device at the far end of a
pass-through serial line."""
