"""Simulated hardware, the test sandbox and the virtual terminal."""
