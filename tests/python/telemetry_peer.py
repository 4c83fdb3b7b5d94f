"""A loopback stand-in for a controller's telemetry push port, for the Python tests."""

from __future__ import annotations

import socket
import threading

FULL_SAMPLE = (
    b"X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=11;J2agl=12;J3agl=13;J4agl=14;J5agl=15;J6agl=16\r\n"
)


def _listener() -> socket.socket:
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    server.settimeout(0.05)
    return server


class TelemetryPeer:
    """Accepts loopback connections on a thread and pushes `packet` to each every 20 ms.

    Nothing is pushed while `packet` is empty.
    """

    def __init__(self, packet: bytes = FULL_SAMPLE) -> None:
        self.packet = packet
        self._server = _listener()
        self.port: int = self._server.getsockname()[1]
        self.stopped = threading.Event()
        self._threads: list[threading.Thread] = []
        self._accepter = threading.Thread(target=self._accept_loop, daemon=True)
        self._accepter.start()

    def _accept_loop(self) -> None:
        while not self.stopped.is_set():
            try:
                conn, _ = self._server.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            conn.settimeout(0.05)
            worker = threading.Thread(target=self._serve_and_close, args=(conn,), daemon=True)
            self._threads.append(worker)
            worker.start()

    def _serve_and_close(self, conn: socket.socket) -> None:
        with conn:
            try:
                self.serve(conn)
            except OSError:
                pass

    def serve(self, conn: socket.socket) -> None:
        while not self.stopped.wait(0.02):
            if self.packet:
                conn.sendall(self.packet)

    def close(self) -> None:
        self.stopped.set()
        self._accepter.join(timeout=5)
        for worker in self._threads:
            worker.join(timeout=5)
        self._server.close()
