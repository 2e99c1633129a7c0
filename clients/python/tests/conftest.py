"""Simulators served by the built `tarvo sim run` on loopback, one server per simulator
and protocol, shared by the tests and stopped with Ctrl-C (SIGINT) at the end."""

import os
import re
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("TARVO_SOURCE_DIR", Path(__file__).resolve().parents[3]))
BUILD = Path(os.environ.get("TARVO_BUILD_DIR", SOURCE / "build"))
TARVO = BUILD / "bin" / "tarvo"
SIMULATORS = {
    "cpp": BUILD / "examples" / "cpp-sim",
    "python": SOURCE / "examples" / "python-sim",
    "crash": BUILD / "examples" / "broken" / "crash",
    "garbage": BUILD / "examples" / "broken" / "garbage",
    "hang": BUILD / "examples" / "broken" / "hang",
    "hostile": Path(__file__).resolve().parent / "hostile_sim",
}
_SERVING = re.compile(r"serving over \w+ on [^ ]*:(\d+)")


class Served:
    """`tarvo sim run <simulator> --port 0`: the port is read from its log."""

    def __init__(self, simulator, protocol):
        self.log = tempfile.NamedTemporaryFile("w+", prefix="tarvo-sim-run-", suffix=".log")
        # A process group of its own, so that Ctrl-C reaches it as at a terminal.
        self.process = subprocess.Popen(
            [str(TARVO), "sim", "run", str(SIMULATORS[simulator]), "--host", "127.0.0.1",
             "--port", "0", "--protocol", protocol],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            process_group=0)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and self.process.poll() is None:
            self.log.seek(0)
            found = _SERVING.search(self.log.read())
            if found:
                port = found.group(1)
                self.address = f"{protocol}://127.0.0.1:{port}"
                self.port = int(port)
                return
            time.sleep(0.02)
        self.stop()
        raise RuntimeError(f"tarvo sim run {simulator} did not start serving {protocol}:\n"
                           + self.output())

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGINT)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.log.close()


@pytest.fixture(scope="session")
def serve():
    """serve(simulator, protocol) -> the running Served for it."""
    servers = {}

    def get(simulator, protocol):
        if (simulator, protocol) not in servers:
            servers[simulator, protocol] = Served(simulator, protocol)
        return servers[simulator, protocol]

    yield get
    for server in servers.values():
        server.stop()


@pytest.fixture(params=["grpc", "http"])
def protocol(request):
    return request.param


def unused_port():
    """A loopback port nothing listens on (it was free a moment ago)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
