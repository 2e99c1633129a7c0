"""The failures of a session with a served simulator: one exception type per cause.

Every text in these exceptions that came from outside (the simulator, the server) is
made printable first: control characters are shown as escapes, so that printing a
traceback never sends a simulator's bytes raw to a terminal. The raw text stays
available as an attribute.
"""

_SHOWN_LIMIT = 2000  # characters of an outside text kept in an exception's message


def printable(text, limit=_SHOWN_LIMIT):
    """`text` with control characters escaped and cut to `limit` characters."""
    if not isinstance(text, str):
        text = repr(text)
    cut = len(text) > limit
    if cut:
        text = text[:limit]
    if not text.isprintable():
        text = "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                       for c in text)
    return text + ("..." if cut else "")


class TarvoError(Exception):
    """The base of every failure this package reports on purpose."""


class SimulatorError(TarvoError):
    """The simulator answered a call with an error, or with a result that breaks the
    protocol. The session goes on: the next call may succeed.

    `method` is the call's method; `message` the simulator's own text, unchanged.
    """

    def __init__(self, method, message, explanation=None):
        self.method = method
        self.message = message
        shown = explanation if explanation is not None else printable(message)
        super().__init__(f"the simulator failed '{method}': {shown}")


class SessionEndedError(TarvoError):
    """The session is over and every further call fails: the simulator crashed, hung past
    the server's limit or answered garbage, the server ended the session, or the
    connection to it broke. Open a new environment to go on."""


class ConnectionFailedError(TarvoError, ConnectionError):
    """The server could not be reached at all: the connection was refused, the host is
    unknown, or what answers does not speak the simulator protocol."""
