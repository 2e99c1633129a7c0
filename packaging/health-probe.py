"""Probes the health of a `tarvo sim run` server, for a container's HEALTHCHECK.

    python3 health-probe.py [[HOST:]PORT]      (default 127.0.0.1:1337)

Asks the standard gRPC health service (grpc.health.v1.Health/Check, the whole
server) and, where the server speaks HTTP/1.1 instead, GET /healthz. Exits 0 when
the server answers SERVING, 1 otherwise (one line on stderr says why).

Only Python's standard library is at hand in the base image, so the gRPC call is
written out here: one HTTP/2 stream in cleartext, the request headers as literals
(HPACK with no table and no Huffman coding), an empty request message, and the reply
message read from the DATA frames.
"""
import socket
import struct
import sys

TIMEOUT_SECONDS = 3
MAX_FRAME = 1 << 16  # larger than any frame a health reply needs

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
DATA, HEADERS, RST_STREAM, SETTINGS, GOAWAY = 0x0, 0x1, 0x3, 0x4, 0x7
END_STREAM, ACK, END_HEADERS = 0x1, 0x1, 0x4
SERVING = 1


class Unhealthy(Exception):
    pass


def frame(kind, flags, stream, payload=b""):
    return struct.pack(">I", len(payload))[1:] + struct.pack(">BBI", kind, flags, stream) + payload


def literal(name, value):
    """A header field without indexing, its name and value as plain strings (< 127 bytes)."""
    name, value = name.encode(), value.encode()
    return b"\x00" + bytes([len(name)]) + name + bytes([len(value)]) + value


def receive(connection, size):
    data = b""
    while len(data) < size:
        chunk = connection.recv(size - len(data))
        if not chunk:
            raise Unhealthy("the server closed the connection")
        data += chunk
    return data


def grpc_check(host, port):
    """The server's status as the gRPC health service tells it; None for an HTTP/1.1 server."""
    with socket.create_connection((host, port), timeout=TIMEOUT_SECONDS) as connection:
        authority = "%s:%d" % (host, port)
        headers = b"".join(
            literal(name, value)
            for name, value in (
                (":method", "POST"),
                (":scheme", "http"),
                (":path", "/grpc.health.v1.Health/Check"),
                (":authority", authority),
                ("content-type", "application/grpc"),
                ("te", "trailers"),
            )
        )
        request = b"\x00" + struct.pack(">I", 0)  # not compressed, an empty message
        connection.sendall(
            PREFACE
            + frame(SETTINGS, 0, 0)
            + frame(HEADERS, END_HEADERS, 1, headers)
            + frame(DATA, END_STREAM, 1, request)
        )
        message = b""
        while True:
            head = receive(connection, 9)
            if head.startswith(b"HTTP/"):
                return None
            length = int.from_bytes(head[:3], "big")
            kind, flags, stream = struct.unpack(">BBI", head[3:])
            if length > MAX_FRAME:
                raise Unhealthy("the server sent a frame of %d bytes" % length)
            payload = receive(connection, length)
            if kind == SETTINGS and not flags & ACK:
                connection.sendall(frame(SETTINGS, ACK, 0))
            elif kind == GOAWAY or (kind == RST_STREAM and stream == 1):
                raise Unhealthy("the server refused the health check")
            elif stream == 1 and kind == DATA:
                message += payload
            if stream == 1 and kind in (DATA, HEADERS) and flags & END_STREAM:
                break
        if len(message) < 5:
            raise Unhealthy("the server has no gRPC health service")
        return status_of(message[5 : 5 + int.from_bytes(message[1:5], "big")])


def status_of(reply):
    """Field 1 (status) of a HealthCheckResponse; 0 (UNKNOWN) when absent."""
    status = 0
    at = 0
    while at < len(reply):
        key, at = varint(reply, at)
        if key & 7 != 0:  # only varint fields are expected
            raise Unhealthy("the server's health reply is malformed")
        value, at = varint(reply, at)
        if key >> 3 == 1:
            status = value
    return status


def varint(data, at):
    value, shift = 0, 0
    while at < len(data) and shift < 64:
        byte = data[at]
        value |= (byte & 0x7F) << shift
        at, shift = at + 1, shift + 7
        if not byte & 0x80:
            return value, at
    raise Unhealthy("the server's health reply is malformed")


def http_check(host, port):
    with socket.create_connection((host, port), timeout=TIMEOUT_SECONDS) as connection:
        connection.sendall(
            b"GET /healthz HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n\r\n"
            % (host.encode(), port)
        )
        status_line = receive(connection, 12)
    return status_line[9:12] == b"200"


def main(argv):
    if len(argv) > 2:
        print(__doc__.splitlines()[2].strip(), file=sys.stderr)
        return 2
    host, _, port = (argv[1] if len(argv) > 1 else "1337").rpartition(":")
    host = host.strip("[]") or "127.0.0.1"
    if not port.isdigit() or not 0 < int(port) < 65536:
        print("health-probe: not a port: %s" % port, file=sys.stderr)
        return 2
    try:
        status = grpc_check(host, int(port))
        healthy = http_check(host, int(port)) if status is None else status == SERVING
    except (OSError, Unhealthy) as error:
        print("health-probe: %s" % error, file=sys.stderr)
        return 1
    if not healthy:
        print("health-probe: the server is not serving", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
