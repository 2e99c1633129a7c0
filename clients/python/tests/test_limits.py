"""What comes from outside is bounded and defused: nesting, sizes and counts of replies
and spaces, HTTP framing, control characters. Replies through the real server come from
a hostile simulator; HTTP framing faults from a scripted server on loopback."""

import socket
import struct
import threading

import pytest

import tarvo_client
from tarvo_client import http_transport
from tarvo_client.address import parse_address
from tarvo_client.http_transport import MAX_BODY, MAX_HEAD, MAX_HEADERS
from tarvo_client.session import Session



def ok(body):
    return b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)


class ScriptedHttpServer:
    """Answers the HTTP requests of one connection after another with the scripted
    replies, in order: bytes sent whole, then the connection stays open; "close" to
    close the connection instead of answering, "reset" to reset it."""

    def __init__(self, replies):
        self._replies = list(replies)
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.address = f"http://127.0.0.1:{self._listener.getsockname()[1]}"
        self.requests = []
        self.connections = 0
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while self._replies:
            try:
                connection, _ = self._listener.accept()
            except OSError:
                return
            self.connections += 1
            with connection:
                self._answer(connection)

    def _answer(self, connection):
        pending = b""
        while self._replies:
            while b"\r\n\r\n" not in pending:
                data = connection.recv(65536)
                if not data:
                    return
                pending += data
            head, pending = pending.split(b"\r\n\r\n", 1)
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
            while len(pending) < length:
                pending += connection.recv(65536)
            self.requests.append(head.split(b"\r\n")[0].decode())
            pending = pending[length:]
            reply = self._replies.pop(0)
            if reply == "reset":
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                      struct.pack("ii", 1, 0))
            if reply in ("close", "reset"):
                return
            connection.sendall(reply)

    def close(self):
        self._replies.clear()
        self._listener.close()


@pytest.fixture
def scripted():
    servers = []

    def start(*replies):
        servers.append(ScriptedHttpServer(replies))
        return servers[-1]

    yield start
    for server in servers:
        server.close()


@pytest.mark.parametrize("reply, complaint", [
    (b"HTTP/1.1 200 OK\r\nX-Long: " + b"a" * MAX_HEAD + b"\r\n\r\n", "head over"),
    (b"HTTP/1.1 200 OK\r\n" + b"X-Many: 1\r\n" * (MAX_HEADERS + 1) + b"Content-Length: 0\r\n\r\n",
     "more than 100 header lines"),
    (b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % (MAX_BODY + 1), "body over"),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n%x\r\n" % (MAX_BODY + 1),
     "body over"),
    (b"\x00\x00\x12\x04\x00\x00\x00\x00\x00", "is it serving gRPC"),
], ids=["long head", "many headers", "long body", "long chunked body", "HTTP/2"])
def test_http_replies_beyond_the_limits_are_refused(scripted, reply, complaint):
    server = scripted(reply)
    with pytest.raises(tarvo_client.ConnectionFailedError, match=complaint):
        tarvo_client.Env(server.address, timeout=5)


@pytest.mark.parametrize("ending", ["close", "reset"])
def test_a_kept_connection_the_server_closed_is_replaced(scripted, ending):
    """The server closes an idle connection just as the next request goes out: that
    request is sent again on a new connection, and the session goes on."""
    reply = ok(b'{"result":null}')
    server = scripted(ok(b'{"session":"0123abcd"}'), ending, reply, reply,
                      b"HTTP/1.1 204 No Content\r\n\r\n")
    opened = Session(parse_address(server.address))
    assert opened.call("make", "{}") is None
    assert opened.call("make", "{}") is None
    opened.abandon()
    assert server.requests == ["POST /sessions HTTP/1.1",
                               "POST /sessions/0123abcd/make HTTP/1.1",
                               "POST /sessions/0123abcd/make HTTP/1.1",
                               "POST /sessions/0123abcd/make HTTP/1.1",
                               "DELETE /sessions/0123abcd HTTP/1.1"]


def test_a_kept_connection_at_rest_is_used_again(scripted, monkeypatch):
    """The check of a connection that rested does not wait for the server to speak:
    the next call goes out on it at once (this stand-in never closes it)."""
    monkeypatch.setattr(http_transport, "CHECK_AFTER_IDLE", 0.0)
    reply = ok(b'{"result":null}')
    server = scripted(ok(b'{"session":"0123abcd"}'), reply, reply,
                      b"HTTP/1.1 204 No Content\r\n\r\n")
    opened = Session(parse_address(server.address), timeout=2)
    assert opened.call("make", "{}") is None
    assert opened.call("make", "{}") is None
    opened.abandon()
    assert len(server.requests) == 4 and server.connections == 1


def test_control_characters_from_a_simulator_are_shown_escaped(serve, protocol):
    with tarvo_client.Env(serve("hostile", protocol).address,
                          env_init={"mode": "control_error"}) as env:
        env.reset()
        with pytest.raises(tarvo_client.SimulatorError) as error:
            env.step((0, [0.0, 0.0]))
    shown = str(error.value)
    assert "\x1b" not in shown and "\x07" not in shown
    assert "\\x1b[2J\\x1b]0;owned\\x07wiped" in shown
    assert error.value.message == "\x1b[2J\x1b]0;owned\x07wiped"  # kept as it came


@pytest.mark.parametrize("mode, complaint", [
    ("deep_space", "nested deeper than 16"),
    ("wide_space", "more than 33554432 elements"),
    ("many_spaces", "more than 1024 spaces"),
])
def test_spaces_beyond_the_limits_are_refused(serve, protocol, mode, complaint):
    with pytest.raises(tarvo_client.SimulatorError, match=complaint):
        tarvo_client.Env(serve("hostile", protocol).address, env_init={"mode": mode})


def test_a_reply_nested_too_deeply_ends_the_session(serve, protocol):
    with tarvo_client.Env(serve("hostile", protocol).address,
                          env_init={"mode": "deep_observation"}) as env:
        with pytest.raises(tarvo_client.SessionEndedError, match="nested deeper than 64"):
            env.reset()


def test_the_nesting_check_sees_through_strings_and_escapes():
    """Brackets, quotes and backslashes inside strings do not count; the check agrees
    with the nesting of what the parser builds."""
    import json
    import random

    from tarvo_client.bounded_json import too_deep

    def depth(value):
        if isinstance(value, (list, dict)):
            items = value.values() if isinstance(value, dict) else value
            return 1 + max((depth(item) for item in items), default=0)
        return 0

    texts = ["[", "]]", "{\"", "\\", "\\\"[", "x\\\\", "\"]}"]
    draw = random.Random(7)

    def value(levels):
        if levels == 0 or draw.random() < 0.2:
            return draw.choice(texts + [1, None])
        if draw.random() < 0.5:
            return [value(levels - 1) for _ in range(draw.randint(0, 3))]
        return {draw.choice(texts) + str(i): value(levels - 1) for i in range(draw.randint(0, 3))}

    for _ in range(3000):
        made = value(draw.randint(0, 12))
        limit = draw.randint(0, 8)
        assert too_deep(json.dumps(made), limit) == (depth(made) > limit), json.dumps(made)


def test_observations_of_many_megabytes_come_through(serve, protocol):
    """Images are large: a reply of 4.5 MB, over gRPC's default 4 MiB message limit."""
    with tarvo_client.Env(serve("hostile", protocol).address,
                          env_init={"mode": "big_observation"}) as env:
        observation, _ = env.reset()
    assert observation.shape == (900_000,) and observation[-1] == 0.25
