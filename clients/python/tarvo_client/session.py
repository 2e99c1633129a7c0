"""One session with a served simulator: its own simulator process on the server, calls
made strictly one after the other, every reply checked.

A call is `send` then `result`; a vector of sessions sends to all of them before it
reads the first result, so that the simulators work at the same time.
"""

import math
import weakref

from . import bounded_json
from .errors import SessionEndedError, SimulatorError, TarvoError, printable

DEFAULT_TIMEOUT = 120.0  # seconds for one reply; the server gives a simulator 60


def _transport(target, timeout, shared):
    if target.protocol == "http":
        from .http_transport import HttpTransport

        return HttpTransport(target, timeout)
    from .grpc_transport import GrpcTransport  # grpc loads only when it is used

    return GrpcTransport(target, timeout, shared)


def shared_connection(target):
    """What the sessions of one vector share: a gRPC channel; nothing over HTTP."""
    if target.protocol == "http":
        return None
    from .grpc_transport import SharedChannel

    return SharedChannel(target)


class Session:
    def __init__(self, target, timeout=DEFAULT_TIMEOUT, shared=None):
        """`shared`: from shared_connection(), for sessions opened together."""
        if (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                or not 0 < timeout < math.inf):
            raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        self.target = target
        self._transport = _transport(target, float(timeout), shared)
        self._pending = None  # the method of the call whose reply is still to be read
        self._over = False
        # A session nobody closed ends when it is collected (or at exit).
        self._finalizer = weakref.finalize(self, self._transport.finish)

    @property
    def over(self):
        return self._over

    def send(self, method, args="{}"):
        """Sends a call; `args` is a JSON object text."""
        if self._over:
            raise SessionEndedError("the session is over")
        if self._pending is not None:
            raise RuntimeError(f"the reply to '{self._pending}' has not been read yet")
        try:
            self._transport.send(method, args)
        except BaseException:
            self._end()  # half a request may have gone out
            raise
        self._pending = method

    def result(self):
        """The result of the call sent last. Raises SimulatorError for the simulator's
        error reply, SessionEndedError when the session is over."""
        method, self._pending = self._pending, None
        if method is None:
            raise RuntimeError("no call is waiting for its reply")
        try:
            line = self._transport.receive()
        except BaseException:
            # Also when interrupted: a reply still on its way would be taken for the
            # next call's.
            self._end()
            raise
        try:
            reply = bounded_json.loads(line)
        except ValueError as error:
            self._end()
            raise SessionEndedError(f"the server sent a reply to '{method}' that is not JSON "
                                    f"({error}): {printable(line, 80)}") from None
        if type(reply) is dict:
            if "error" in reply:
                message = reply["error"]
                raise SimulatorError(method, message if isinstance(message, str)
                                     else bounded_json.dumps(message))
            if "result" in reply:
                return reply["result"]
        self._end()
        raise SessionEndedError(f"the server sent a reply to '{method}' without a result: "
                                f"{printable(line, 80)}")

    def call(self, method, args="{}"):
        self.send(method, args)
        return self.result()

    def close(self):
        """Asks the simulator to close, then ends the session. Quiet when the session is
        over already; idempotent."""
        if self._over:
            return
        try:
            if self._pending is not None:
                self.result()  # the call in flight, so that replies stay in step
        except (SimulatorError, SessionEndedError):
            pass
        try:
            if not self._over:
                self.call("close")
        except (SimulatorError, SessionEndedError):
            pass  # the simulator objected, or the session ended: it is over either way
        finally:
            self._end()

    def abandon(self):
        """Ends the session without a close call."""
        if not self._over:
            self._end()

    def _end(self):
        self._over = True
        self._pending = None
        self._finalizer()


def call_all(sessions, method, args):
    """The same call on every session at once (`args`: one JSON text per session):
    sends all, then reads every result. When any fails, every reply is still read, and
    the first failure is raised."""
    failure = None
    sent = []
    for session, arguments in zip(sessions, args):
        try:
            session.send(method, arguments)
            sent.append(session)
        except TarvoError as error:
            failure = failure or error
            sent.append(None)
    results = []
    for session in sent:
        result = None
        if session is not None:
            try:
                result = session.result()
            except TarvoError as error:
                failure = failure or error
        results.append(result)
    if failure is not None:
        raise failure
    return results
