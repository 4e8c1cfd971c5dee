"""A push server for tests and the virtual terminal.

A GPIO-mode terminal keeps a TCP connection open to its push server (port
5559 of a configured IPv4 address) and sends a push message whenever its
state changed. It never reads from that connection. A push message is

    byte 0       message type, 0x0A
    bytes 1-2    length L of the report text, unsigned 16-bit little endian
    L bytes      report text: lines of "key=value\\n", ASCII, no final zero

and is at most 4096 bytes long. This server keeps every report it receives
and the time it arrived, and counts what breaks the framing as an error.
Tests can also make it misbehave (refuse, reset or stall connections, close
them after one message, or drop them all at once) to watch the terminal
reconnect and send its pending report again.

Run alone it prints each report as it arrives:

    /usr/bin/python3 -m sim.peers.push --host 127.0.0.1
"""

import argparse
import datetime
import sys
import time

from . import loopback

PORT = 5559
MESSAGE_TYPE = 0x0A
HEADER_SIZE = 3
MESSAGE_MAX = 4096
REPORT_MAX = MESSAGE_MAX - HEADER_SIZE


def parse_report(text):
    """{key: value} of a report's "key=value" lines; a line without "=" maps to ""."""
    return dict(line.partition("=")[::2] for line in text.split("\n") if line)


class PushServer(loopback.Server):
    """Serves the push port (see loopback.Server for the modes); in mode
    "close-after-one" it closes each connection after one message."""

    PORT = PORT
    MODES = loopback.Server.MODES + ("close-after-one",)

    def __init__(self, host=None):
        self._reports = []
        self._times = []
        super().__init__(host)

    # What the tests see.

    @property
    def reports(self):
        """The report texts received so far, oldest first."""
        with self._cond:
            return list(self._reports)

    @property
    def report_times(self):
        """time.monotonic() at the arrival of each report, in the order of reports."""
        with self._cond:
            return list(self._times)

    def last(self):
        """The last report as {key: value}; {} before the first one."""
        reports = self.reports
        return parse_report(reports[-1]) if reports else {}

    def wait_for(self, predicate, timeout=10):
        """Waits until predicate(reports) holds; returns whether it did.

        The predicate is tried on every new report and at least every POLL
        seconds, so it may also depend on things other than the reports."""
        return self._wait_on(self._reports, predicate, timeout)

    def wait_reports(self, n, timeout=10):
        """Waits until at least n reports have arrived; returns whether they did."""
        return self.wait_for(lambda reports: len(reports) >= n, timeout)

    # The serving thread.

    def take(self, conn, data):
        """Takes every whole message off the front of conn.pending. A
        framing error closes the connection: nothing after it can be
        trusted to start a message."""
        conn.pending += data
        buf = conn.pending
        while buf:
            if buf[0] != MESSAGE_TYPE:
                self._error(conn, f"message type 0x{buf[0]:02x}, not 0x{MESSAGE_TYPE:02x}")
                self._forget(conn.sock)
                return
            if len(buf) < HEADER_SIZE:
                return
            length = int.from_bytes(buf[1:HEADER_SIZE], "little")
            if length > REPORT_MAX:
                self._error(conn, f"report length {length}, more than {REPORT_MAX}")
                self._forget(conn.sock)
                return
            if len(buf) < HEADER_SIZE + length:
                return
            text = bytes(buf[HEADER_SIZE:HEADER_SIZE + length])
            del buf[:HEADER_SIZE + length]
            self._received(conn, text)
            if self._mode == "close-after-one":
                self._forget(conn.sock)
                return

    def _received(self, conn, text):
        if not text.isascii():
            self._error(conn, "report text is not ASCII")
        with self._cond:
            self._reports.append(text.decode("ascii", errors="backslashreplace"))
            self._times.append(time.monotonic())
            self._cond.notify_all()


def main():
    ap = argparse.ArgumentParser(description="Prints the reports a terminal pushes, as they arrive.")
    ap.add_argument("--host", default="127.0.0.1", help=f"address to listen on, port {PORT} (default: %(default)s)")
    ap.add_argument("--mode", choices=PushServer.MODES, default="accept", help="how to treat connections (default: %(default)s)")
    args = ap.parse_args()

    srv = PushServer(args.host)
    srv.mode = args.mode
    print(f"Push server on {srv.host}:{PORT}, mode {args.mode}. Stop with Ctrl-C.", flush=True)
    shown_reports = shown_errors = shown_connections = 0
    try:
        while True:
            srv.wait_reports(shown_reports + 1, timeout=0.5)
            while shown_connections < srv.connections:
                shown_connections += 1
                print(f"[connection {shown_connections} accepted]", flush=True)
            reports, times = srv.reports, srv.report_times
            for text, arrived in zip(reports[shown_reports:], times[shown_reports:]):
                shown_reports += 1
                wall = datetime.datetime.now() - datetime.timedelta(seconds=time.monotonic() - arrived)
                print(f"--- report {shown_reports} at {wall:%H:%M:%S.%f} ---", flush=True)
                print(text, end="" if text.endswith("\n") else "\n", flush=True)
            for error in srv.errors[shown_errors:]:
                shown_errors += 1
                print(f"[framing error] {error}", flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        srv.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
