"""The metrics endpoint's HTTP side: one short request per connection, answered and closed.

The network is not trusted. Each connection has `HEADER_S` to send its whole request head and
`ANSWER_S` to take the answer; at most `MAX_CLIENTS` are served at once, and a new connection
that finds them all taken pushes out the oldest one still sending its head, so clients that
trickle bytes or sit idle can never keep a scrape out. Connection errors are reported once per
kind through `log`, never as tracebacks: the terminal belongs to the live view."""

from __future__ import annotations

import socket
import socketserver
import threading
import time

HEADER_S = 2.0
ANSWER_S = 5.0
MAX_CLIENTS = 8
MAX_HEAD_BYTES = 8192
CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
REASONS = {200: "OK", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed",
           431: "Request Header Fields Too Large"}


class _Slow(Exception):
    """The client did not send its request head in time."""


def _answer(conn: socket.socket, status: int, body: bytes, head_only: bool = False) -> None:
    head = (f"HTTP/1.1 {status} {REASONS[status]}\r\nContent-Type: "
            f"{CONTENT_TYPE if status == 200 else 'text/plain; charset=utf-8'}\r\n"
            f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode()
    data = memoryview(head + (b"" if head_only else body))
    deadline = time.monotonic() + ANSWER_S
    while data:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the answer was not taken in time")
        conn.settimeout(left)
        sent = conn.send(data)
        data = data[sent:]


def _read_head(conn: socket.socket) -> bytes | None:
    """The request head, within HEADER_S of the connection; None when the client went away."""
    deadline = time.monotonic() + HEADER_S
    data = b""
    while b"\r\n\r\n" not in data and b"\n\n" not in data:
        if len(data) > MAX_HEAD_BYTES:
            return data
        left = deadline - time.monotonic()
        if left <= 0:
            raise _Slow()
        conn.settimeout(left)
        try:
            chunk = conn.recv(4096)
        except socket.timeout:
            raise _Slow() from None
        if not chunk:
            return None
        data += chunk
    return data


class Endpoint(socketserver.TCPServer):
    """Serves `page()` (bytes) at GET /metrics; anything else is answered 404 (405 for another
    method on /metrics). `log(line)` hears of connection errors, once per kind."""

    allow_reuse_address = True
    request_queue_size = 64  # a burst of connections waits to be served, not for SYN retries

    def __init__(self, address, page, log):
        self.page, self.log = page, log
        self._lock = threading.Lock()
        self._reading: dict[socket.socket, float] = {}   # connection -> when it came, still sending its head
        self._answering: set[socket.socket] = set()
        self._told: set[str] = set()
        self._notes = threading.Lock()                    # the error tally, apart from the slots
        self.errors: dict[str, int] = {}                  # kind -> how many, for whoever asks
        super().__init__(address, None)

    # --- slots ------------------------------------------------------------------------------------
    def process_request(self, request, client_address):
        note, refused = None, False
        with self._lock:
            if len(self._reading) + len(self._answering) >= MAX_CLIENTS:
                if not self._reading:  # all busy answering: they end within ANSWER_S
                    note, refused = "a connection was refused: every slot was answering", True
                else:
                    oldest = min(self._reading, key=self._reading.get)
                    del self._reading[oldest]
                    note = "a slow client was dropped to make room for a new connection"
                    try:
                        oldest.shutdown(socket.SHUT_RDWR)  # its thread sees the end at once and goes
                    except OSError:
                        pass
            if not refused:
                self._reading[request] = time.monotonic()
        if note is not None:
            self._note(note)  # outside the lock: the log may be a slow terminal
        if refused:
            self.shutdown_request(request)
            return
        threading.Thread(target=self._serve, args=(request,), name="kestrune-metrics-client", daemon=True).start()

    def _serve(self, conn):
        try:
            self._handle(conn)
        except _Slow:
            self._note(f"a client did not send its request within {HEADER_S:g} s and was dropped")
        except (OSError, ValueError) as e:
            self._note(f"a client connection failed: {_kind(e)}")
        finally:
            with self._lock:
                self._reading.pop(conn, None)
                self._answering.discard(conn)
            self.shutdown_request(conn)

    def _handle(self, conn):
        head = _read_head(conn)
        if head is None:
            return
        with self._lock:
            if self._reading.pop(conn, None) is None:
                return  # dropped meanwhile
            self._answering.add(conn)
        if len(head) > MAX_HEAD_BYTES:
            _answer(conn, 431, b"request head too long\n")
            return
        parts = head.split(b"\n", 1)[0].strip().split()
        if len(parts) != 3 or not parts[2].startswith(b"HTTP/"):
            self._note("a client sent something that is not an HTTP request")
            _answer(conn, 400, b"not an HTTP request\n")
            return
        method, path = parts[0], parts[1].split(b"?", 1)[0]
        if path != b"/metrics":
            _answer(conn, 404, b"only /metrics is served here\n", head_only=method == b"HEAD")
        elif method not in (b"GET", b"HEAD"):
            _answer(conn, 405, b"only GET /metrics\n")
        else:
            _answer(conn, 200, self.page(), head_only=method == b"HEAD")

    # --- errors -----------------------------------------------------------------------------------
    def _note(self, what: str) -> None:
        with self._notes:
            self.errors[what] = self.errors.get(what, 0) + 1
            if what in self._told:
                return
            self._told.add(what)
        try:
            self.log(f"kestrune: metrics endpoint: {what} (further ones are not shown)")
        except Exception:  # noqa: BLE001 - a failing log must not end the serving thread
            pass

    def handle_error(self, request, client_address):
        self._note("a client connection failed")

    def shutdown_request(self, request):
        try:
            request.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        request.close()


def _kind(e: BaseException) -> str:
    if isinstance(e, ConnectionResetError):
        return "reset by the client"
    if isinstance(e, BrokenPipeError):
        return "closed by the client before the answer"
    if isinstance(e, TimeoutError):
        return "the answer was not taken in time"
    return type(e).__name__
