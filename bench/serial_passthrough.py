#!/usr/bin/python3
"""Benchmark of the serial pass-through (`kelvgd sersrv`).

Relays random data both ways at once between a loopback TCP client and a
simulated device on a pseudo-terminal (which has no line rate; the Python
ends limit the throughput), and reports the throughput of each direction,
the server's CPU time per mebibyte and its peak resident memory.

    /usr/bin/python3 bench/serial_passthrough.py [--mib 32] [--kelvgd build/kelvgd/kelvgd]
"""

import argparse
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from procstat import peak_rss_kib  # noqa: E402
from sim.devices.serial_peer import SerialPeer  # noqa: E402
from sim.sandbox.sandbox import Sandbox  # noqa: E402


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mib", type=int, default=32, help="data each way")
    ap.add_argument("--kelvgd", default=os.path.join(here, "build/kelvgd/kelvgd"))
    args = ap.parse_args()
    size = args.mib << 20
    up, down = os.urandom(size), os.urandom(size)

    with Sandbox(args.kelvgd) as sb:
        sb.run("sercfg", "-i", "1", "-b", "115200")
        peer = sb.attach(SerialPeer(sb.pty("ttyS1")))
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            client = socket.create_connection(listener.getsockname())
            conn, _ = listener.accept()
        proc = sb.spawn("sersrv", stdin=conn, stdout=conn)
        conn.close()
        if not sb.notify.wait_for("READY=1", 20):
            sys.exit("sersrv did not start: " + proc.stderr.read())

        done = {}
        t0 = time.monotonic()

        def receive():
            got = bytearray()
            while len(got) < size:
                chunk = client.recv(1 << 16)
                if not chunk:
                    break
                got += chunk
            done["down"] = time.monotonic() - t0
            done["down_ok"] = bytes(got) == down

        receiver = threading.Thread(target=receive)
        receiver.start()
        peer.send(down)
        client.sendall(up)
        peer.wait_received(size, 600)
        done["up"] = time.monotonic() - t0
        receiver.join(600)
        rss = peak_rss_kib(proc.pid)
        client.shutdown(socket.SHUT_WR)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        client.close()

        ok = peer.received == up and done.get("down_ok")
        cpu = usage.ru_utime + usage.ru_stime
        print(f"data each way:        {args.mib} MiB, {'intact' if ok else 'CORRUPTED'}")
        print(f"network to port:      {args.mib / done['up']:.1f} MiB/s")
        print(f"port to network:      {args.mib / done['down']:.1f} MiB/s")
        print(f"server CPU:           {cpu * 1000 / (2 * args.mib):.2f} ms per MiB")
        print(f"server peak RSS:      {rss} KiB")
        print(f"exit code:            {proc.returncode}")
        sys.exit(0 if ok and proc.returncode == 0 else 1)


if __name__ == "__main__":
    main()
