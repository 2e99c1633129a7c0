"""The HTTP transport: one session of `tarvo sim run --protocol http` over one HTTP/1.1
keep-alive connection, with blocking sockets.

    POST   /sessions                 -> {"session": "<id>"}
    POST   /sessions/<id>/<method>   the arguments object -> the simulator's reply line
    DELETE /sessions/<id>

A call is split in two, `send` and `receive`, so that a vector of sessions can have a
call in flight on each at once. The server closes connections that stay idle for a
minute: a connection left unused for a while is checked before it is used again, and a
request that meets a connection the server had just closed (no byte of reply) is sent
once more on a new one; the server had not read it.
"""

import select
import socket
import time
from urllib.parse import quote

from . import bounded_json
from .errors import ConnectionFailedError, SessionEndedError, printable

MAX_HEAD = 64 * 1024
MAX_HEADERS = 100
MAX_BODY = 64 * 1024 * 1024 + 64 * 1024  # the server's own limit, and some room
CONNECT_TIMEOUT = 10.0
CHECK_AFTER_IDLE = 1.0  # seconds a connection may rest before it is checked for use
_SESSION_ID_LIMIT = 64


class _Eof(Exception):
    """The connection ended; `empty` when no byte of the reply had come."""

    def __init__(self, empty):
        super().__init__()
        self.empty = empty


class HttpTransport:
    def __init__(self, target, timeout):
        self._target = target
        self._timeout = timeout
        self._host_header = f"Host: {target.authority()}\r\n".encode("ascii", "replace")
        self._sock = None
        self._buffer = bytearray()
        self._request = None
        self._in_flight = False  # a request went out and its reply was not read whole
        self._method = None
        self._reused = False
        self._last_used = 0.0
        self._path = None
        self._paths = {}  # method -> its request path
        self._open()

    # -- the session ----------------------------------------------------------------

    def _open(self):
        try:
            self.send_request(b"POST", "/sessions", b"{}", method="(open)")
            status, body = self._response()
        except (_Unreachable, SessionEndedError) as error:
            self._drop()
            raise ConnectionFailedError(
                f"cannot reach the simulator server at {self._target}: {error}") from None
        except _NotHttp as error:
            self._drop()
            raise ConnectionFailedError(
                f"{self._target} does not answer as a tarvo HTTP server: {error}") from None
        if status == 200:
            session = _error_or_field(body, "session")
            if (isinstance(session, str) and 0 < len(session) <= _SESSION_ID_LIMIT
                    and all(c in "0123456789abcdef" for c in session)):
                self._path = f"/sessions/{session}"
                return
            self._drop()
            raise ConnectionFailedError(f"{self._target} answered POST /sessions without a "
                                        "session id: is it a tarvo simulator server?")
        message = _message(body)
        self._drop()
        if status == 502:
            raise SessionEndedError(f"the server could not start the simulator: {message}")
        if status == 503:
            raise ConnectionFailedError(f"the server at {self._target} takes no new session "
                                        f"now: {message}")
        raise ConnectionFailedError(f"{self._target} answered POST /sessions with HTTP "
                                    f"{status}: is it a tarvo simulator server?")

    def send(self, method, args):
        """Sends one call; `args` is the arguments' JSON text."""
        path = self._paths.get(method)
        if path is None:
            path = self._paths[method] = f"{self._path}/{quote(method, safe='')}"
        try:
            self.send_request(b"POST", path, args.encode("utf-8"), method=method)
        except _Unreachable as error:
            self._drop()
            raise SessionEndedError(f"lost the connection to the server at {self._target}: "
                                    f"{error}") from None

    def receive(self):
        """The reply line of the call sent last."""
        method = self._method
        try:
            status, body = self._response()
        except _Unreachable as error:
            self._drop()
            raise SessionEndedError(f"lost the connection to the server at {self._target}: "
                                    f"{error}") from None
        except _NotHttp as error:
            self._drop()
            raise SessionEndedError(f"the server at {self._target} answered '{method}' "
                                    f"unacceptably: {error}") from None
        if status == 200:
            if method == "close":
                self._path = None  # the server ends the session after it
            return body.decode("utf-8", "replace")
        message = _message(body)
        if status == 502:
            self._path = None
            raise SessionEndedError(message)
        if status == 404:
            self._path = None
            raise SessionEndedError("the server no longer has this session (it ended, or "
                                    "stayed idle longer than the server allows)")
        if status == 503:
            self._path = None
            raise SessionEndedError(f"the server is shutting down: {message}")
        # The session may live on at the server, but not in step with this client.
        raise SessionEndedError(f"the server refused the '{method}' call with HTTP {status}: "
                                f"{message}")

    def finish(self):
        """Ends the session on the server (it may be over already) and the connection."""
        path, self._path = self._path, None
        if path is not None:
            if self._in_flight:
                self._drop()  # its reply would be taken for this one's
            self._timeout = min(self._timeout, 2.0)
            if self._sock is not None:
                self._sock.settimeout(self._timeout)
            try:
                self.send_request(b"DELETE", path, b"", method="(end)")
                self._response()
            except Exception:  # the session is going away either way
                pass
        self._drop()

    # -- the connection ---------------------------------------------------------------

    def send_request(self, verb, path, body, method):
        self._method = method
        self._in_flight = True
        self._request = b"".join((
            verb, b" ", path.encode("ascii"), b" HTTP/1.1\r\n", self._host_header,
            b"Content-Type: application/json\r\nContent-Length: ",
            str(len(body)).encode("ascii"), b"\r\n\r\n", body))
        self._reused = self._sock is not None
        if self._reused and (self._buffer or (time.monotonic() - self._last_used > CHECK_AFTER_IDLE
                                              and self._peer_closed())):
            self._drop()
            self._reused = False
        if self._sock is None:
            self._connect()
        try:
            self._sock.sendall(self._request)
        except socket.timeout:
            raise _Unreachable(f"sending took longer than {self._timeout:g} s") from None
        except OSError as error:
            if not self._reused:
                raise _Unreachable(_reason(error)) from None
            self._resend()

    def _resend(self):
        """The request again on a new connection: the kept one had been closed."""
        self._drop()
        self._reused = False
        self._connect()
        try:
            self._sock.sendall(self._request)
        except OSError as error:
            raise _Unreachable(_reason(error)) from None

    def _connect(self):
        try:
            sock = socket.create_connection((self._target.host, self._target.port),
                                            timeout=min(CONNECT_TIMEOUT, self._timeout))
        except OSError as error:
            raise _Unreachable(_reason(error)) from None
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.settimeout(self._timeout)
        self._sock = sock
        self._buffer.clear()

    def _peer_closed(self):
        """Whether a resting connection has something to read: the end of the stream, or
        bytes nobody asked for; either way it is no use. (A read would wait: the socket
        has a time limit, which Python's sockets wait out before they read.)"""
        try:
            readable, _, _ = select.select([self._sock], [], [], 0)
        except (OSError, ValueError):
            return True
        return bool(readable)

    def _drop(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        self._buffer.clear()

    def _response(self):
        """Reads the reply to the request sent last: (status, body)."""
        try:
            try:
                status, body, keep = self._read_response()
            except _Eof as eof:
                if not (eof.empty and self._reused):
                    raise _Unreachable("the server closed the connection") from None
                self._resend()
                status, body, keep = self._read_response()
        except _Eof:
            raise _Unreachable("the server closed the connection") from None
        except socket.timeout:
            self._drop()
            raise SessionEndedError(f"no reply from the server within {self._timeout:g} s "
                                    f"to '{self._method}'") from None
        except OSError as error:
            raise _Unreachable(_reason(error)) from None
        finally:
            self._request = None
        self._in_flight = False
        self._last_used = time.monotonic()
        if not keep:
            self._drop()
        return status, body

    def _read_response(self):
        reply_start = True
        while True:  # past interim (1xx) replies
            end = self._fill_until(b"\r\n\r\n", MAX_HEAD, reply_start)
            head = bytes(self._buffer[:end]).decode("latin-1")
            del self._buffer[:end + 4]
            status, http10, headers = _parse_head(head)
            if status >= 200:
                break
            reply_start = False
        length = headers.get("content-length")
        coding = headers.get("transfer-encoding", "").lower()
        connection = headers.get("connection", "").lower()
        keep = "close" not in connection and (not http10 or "keep-alive" in connection)
        if coding == "chunked":
            body = self._read_chunked()
        elif coding:
            raise _NotHttp(f"unknown transfer coding {printable(coding, 40)!r}")
        elif length is not None:
            if not length.isdigit():
                raise _NotHttp("a malformed Content-Length")
            if int(length) > MAX_BODY:
                raise _NotHttp(f"a reply body over {MAX_BODY} bytes")
            body = self._read_exactly(int(length))
        elif status in (204, 304):
            body = b""
        else:
            body = self._read_to_end()
            keep = False
        return status, body, keep

    def _receive_more(self, empty_so_far):
        try:
            data = self._sock.recv(262144)
        except ConnectionResetError:
            # What a server that closed an idle connection sends back to a request
            # arriving after it: no less an end than a clean close.
            data = b""
        if not data:
            raise _Eof(empty_so_far)
        self._buffer += data

    def _fill_until(self, mark, limit, reply_start=False):
        """Reads until `mark` is buffered; returns where it starts. `reply_start`: this
        is the first read of a reply (an end of stream here means nothing came)."""
        start = 0
        while True:
            found = self._buffer.find(mark, start)
            if 0 <= found <= limit:
                return found
            if len(self._buffer) > limit:
                raise _NotHttp(f"a line or head over {limit} bytes")
            if reply_start and not b"HTTP/".startswith(bytes(self._buffer[:5])):
                raise _NotHttp("no HTTP/1.1 status line (is it serving gRPC?)")
            start = max(0, len(self._buffer) - len(mark) + 1)
            self._receive_more(reply_start and not self._buffer)

    def _read_exactly(self, count):
        while len(self._buffer) < count:
            self._receive_more(False)
        body = bytes(self._buffer[:count])
        del self._buffer[:count]
        return body

    def _read_chunked(self):
        parts = []
        total = 0
        while True:
            end = self._fill_until(b"\r\n", 1024)
            size_text = bytes(self._buffer[:end]).split(b";", 1)[0].strip()
            del self._buffer[:end + 2]
            try:
                size = int(size_text, 16)
            except ValueError:
                raise _NotHttp("a malformed chunk size") from None
            total += size
            if size < 0 or total > MAX_BODY:
                raise _NotHttp(f"a reply body over {MAX_BODY} bytes")
            if size == 0:
                while True:  # trailer lines, up to the empty one
                    end = self._fill_until(b"\r\n", MAX_HEAD)
                    del self._buffer[:end + 2]
                    if end == 0:
                        return b"".join(parts)
            parts.append(self._read_exactly(size))
            if self._read_exactly(2) != b"\r\n":
                raise _NotHttp("a chunk without its line end")

    def _read_to_end(self):
        while True:
            if len(self._buffer) > MAX_BODY:
                raise _NotHttp(f"a reply body over {MAX_BODY} bytes")
            try:
                self._receive_more(False)
            except _Eof:
                body = bytes(self._buffer)
                self._buffer.clear()
                return body


class _Unreachable(Exception):
    """The connection could not be made or broke; the text says why."""


class _NotHttp(Exception):
    """What came back is not an HTTP/1.1 reply within the limits."""


def _parse_head(head):
    lines = head.split("\r\n")
    parts = lines[0].split(" ", 2)
    if (len(parts) < 2 or parts[0] not in ("HTTP/1.1", "HTTP/1.0") or len(parts[1]) != 3
            or not parts[1].isdigit()):
        raise _NotHttp("no HTTP/1.1 status line (is it serving gRPC?)")
    if len(lines) > MAX_HEADERS + 1:
        raise _NotHttp(f"more than {MAX_HEADERS} header lines")
    headers = {}
    for line in lines[1:]:
        name, colon, value = line.partition(":")
        if not colon:
            raise _NotHttp("a malformed header line")
        headers[name.strip().lower()] = value.strip()
    return int(parts[1]), parts[0] == "HTTP/1.0", headers


def _error_or_field(body, field):
    try:
        value = bounded_json.loads(body.decode("utf-8", "replace"))
    except ValueError:
        return None
    return value.get(field) if isinstance(value, dict) else None


def _message(body):
    """The server's {"error": ...} text, or the start of the body."""
    error = _error_or_field(body, "error")
    if isinstance(error, str):
        return printable(error)
    return printable(body[:200].decode("utf-8", "replace")) or "(no message)"


def _reason(error):
    if isinstance(error, ConnectionRefusedError):
        return "connection refused"
    if isinstance(error, socket.gaierror):
        return "unknown host"
    if isinstance(error, socket.timeout):
        return "no answer"
    return printable(error.strerror or type(error).__name__)
