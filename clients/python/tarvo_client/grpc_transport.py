"""The gRPC transport: one session of `tarvo sim run` (gRPC) as one `Simulator.Session`
stream of the generated stubs (package `tarvo_client_proto`).

A call is split in two, `send` and `receive`, so that a vector of sessions can have a
call in flight on each at once. A blocking read of a stream has no time limit of its
own: a watch thread, one for the process, cancels a stream that waits for a reply
longer than its limit.
"""

import queue
import threading
import time
import weakref

import grpc

from .errors import ConnectionFailedError, SessionEndedError, printable

try:
    from tarvo_client_proto import simulator_pb2, simulator_pb2_grpc
except ImportError as missing:
    raise ImportError(
        "the gRPC stubs of tarvo_client (package tarvo_client_proto) are missing: build "
        "them (cmake --build build --target tarvo_python_stubs) and put build/python on "
        "PYTHONPATH, or install the client with pip") from missing

MAX_MESSAGE = 64 * 1024 * 1024 + 64 * 1024  # the server's limit, and some room
_CHANNEL_OPTIONS = [("grpc.max_receive_message_length", MAX_MESSAGE),
                    ("grpc.max_send_message_length", MAX_MESSAGE)]


def _calls(outbox):
    """The stream's calls, as they are sent; None ends the stream."""
    while True:
        call = outbox.get()
        if call is None:
            return
        yield call


class SharedChannel:
    """One channel for the sessions of a vector, closed when the last one finishes: one
    connection, and one polling thread, instead of one per session."""

    def __init__(self, target):
        self.channel = grpc.insecure_channel(target.authority(), options=_CHANNEL_OPTIONS)
        self._lock = threading.Lock()
        self._users = 0

    def acquire(self):
        with self._lock:
            self._users += 1
        return self.channel

    def release(self):
        with self._lock:
            self._users -= 1
            if self._users == 0:
                self.channel.close()


class GrpcTransport:
    def __init__(self, target, timeout, shared=None):
        self._target = target
        self._timeout = timeout
        self._shared = shared or SharedChannel(target)
        self._channel = self._shared.acquire()
        self._outbox = queue.SimpleQueue()
        self._replies = simulator_pb2_grpc.SimulatorStub(self._channel).Session(
            _calls(self._outbox))
        self._answered = False  # a reply came: a failure now is no refused connection
        self._waiting_since = None
        self._timed_out = False
        self._finished = False
        _WATCH.add(self)

    def send(self, method, args):
        """Sends one call; `args` is the arguments' JSON text."""
        self._outbox.put(simulator_pb2.Call(method=method, args=args))

    def receive(self):
        """The reply line of the call sent last."""
        self._waiting_since = time.monotonic()
        try:
            reply = next(self._replies)
        except StopIteration:
            raise SessionEndedError("the server ended the session") from None
        except grpc.RpcError as error:
            raise self._failure(error) from None
        finally:
            self._waiting_since = None
        if reply.session_error:
            raise SessionEndedError(printable(reply.session_error))
        self._answered = True
        return reply.line

    def finish(self):
        """Ends the stream, which ends the session on the server."""
        if not self._finished:
            self._finished = True
            self._outbox.put(None)
            self._replies.cancel()
            self._shared.release()

    def cancel_if_late(self, now):
        since = self._waiting_since
        if since is not None and now - since > self._timeout:
            self._timed_out = True
            self._replies.cancel()

    def _failure(self, error):
        code = error.code()
        details = (error.details() or "").lower()
        if self._timed_out:
            return SessionEndedError(f"no reply from the server within {self._timeout:g} s")
        if not self._answered:
            if code == grpc.StatusCode.UNAVAILABLE:
                reason = ("connection refused" if "refused" in details
                          else "unknown host" if "dns" in details or "resolve" in details
                          else "unavailable")
                return ConnectionFailedError(
                    f"cannot reach the simulator server at {self._target}: {reason}")
            if code == grpc.StatusCode.UNIMPLEMENTED:
                return ConnectionFailedError(
                    f"{self._target} does not serve tarvo simulators over gRPC")
        if code == grpc.StatusCode.RESOURCE_EXHAUSTED:
            return SessionEndedError(f"a message exceeded {MAX_MESSAGE} bytes")
        name = code.name.lower().replace("_", " ") if code is not None else "unknown"
        return SessionEndedError(f"the stream to the server at {self._target} broke ({name})")


class _Watch:
    """Cancels gRPC reads that wait longer than their transport's limit. One thread for
    the process, running while there are transports to watch."""

    PERIOD = 0.5

    def __init__(self):
        self._lock = threading.Lock()
        self._transports = weakref.WeakSet()
        self._running = False

    def add(self, transport):
        with self._lock:
            self._transports.add(transport)
            if not self._running:
                self._running = True
                threading.Thread(target=self._run, name="tarvo-client-watch",
                                 daemon=True).start()

    def _run(self):
        while True:
            time.sleep(self.PERIOD)
            with self._lock:
                transports = list(self._transports)
                if not transports:
                    self._running = False
                    return
            now = time.monotonic()
            for transport in transports:
                transport.cancel_if_late(now)
            del transports


_WATCH = _Watch()
