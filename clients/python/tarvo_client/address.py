"""Addresses of served simulators, written as on tarvo's command line: `host:port`
(gRPC), `grpc://host:port` or `http://host:port`; IPv6 hosts in brackets."""

from typing import NamedTuple, Optional

PROTOCOLS = ("grpc", "http")


class Target(NamedTuple):
    protocol: str
    host: str
    port: int

    def authority(self):
        """`host:port` with an IPv6 host in brackets."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{host}:{self.port}"

    def __str__(self):
        return f"{self.protocol}://{self.authority()}"


def parse_address(address: str, protocol: Optional[str] = None) -> Target:
    """Splits an address into protocol, host and port. `protocol` ("grpc" or "http")
    applies to an address without a scheme; given with one, the two must agree.
    Raises ValueError for a malformed address or an unknown protocol."""
    if not isinstance(address, str):
        raise TypeError(f"the address must be a text, not {type(address).__name__}")
    if protocol is not None and protocol not in PROTOCOLS:
        raise ValueError(f"unknown protocol '{protocol}' (expected grpc or http)")
    rest = address.strip()
    scheme = None
    if "://" in rest:
        scheme, rest = rest.split("://", 1)
        if scheme not in PROTOCOLS:
            raise ValueError(f"unknown scheme '{scheme}://' in '{address}' "
                             "(expected grpc:// or http://)")
        if rest.endswith("/"):
            rest = rest[:-1]
        if protocol is not None and protocol != scheme:
            raise ValueError(f"the address '{address}' says {scheme}, "
                             f"but protocol '{protocol}' was asked for")
    host, port = _split_host_port(rest, address)
    return Target(scheme or protocol or "grpc", host, port)


def _split_host_port(text, address):
    if text.startswith("["):
        close = text.find("]")
        if close < 0 or text[close + 1:close + 2] != ":":
            raise ValueError(f"malformed address '{address}' (expected [host]:port)")
        host, port_text = text[1:close], text[close + 2:]
    else:
        host, colon, port_text = text.rpartition(":")
        if not colon or not host:
            raise ValueError(f"malformed address '{address}' (expected host:port)")
        if ":" in host:
            raise ValueError(f"malformed address '{address}' (write IPv6 hosts as [host]:port)")
    if not host or "/" in host or any(c.isspace() for c in host):
        raise ValueError(f"malformed address '{address}' (no usable host)")
    if not (port_text.isascii() and port_text.isdigit() and len(port_text) <= 5
            and 1 <= int(port_text) <= 65535):
        raise ValueError(f"malformed address '{address}' (port must be 1 to 65535)")
    return host, int(port_text)
