"""examples/python-client/random_agent.py as a user runs it."""

import os
import subprocess
import sys

from conftest import SOURCE, unused_port

AGENT = SOURCE / "examples" / "python-client" / "random_agent.py"


def agent(*args):
    return subprocess.run([sys.executable, str(AGENT), *args], capture_output=True, text=True,
                          timeout=60, env=os.environ)


def test_the_random_agent_prints_the_mean_return(serve):
    one = agent(serve("cpp", "grpc").address.removeprefix("grpc://"), "--episodes", "3")
    assert one.returncode == 0, one.stderr
    assert one.stdout.startswith("3 episodes, mean return ")
    vector = agent(serve("python", "http").address, "--episodes", "5", "--envs", "2")
    assert vector.returncode == 0, vector.stderr
    assert vector.stdout.startswith("5 episodes, mean return ")

    refused = agent(f"127.0.0.1:{unused_port()}")
    assert refused.returncode == 1 and refused.stdout == ""
    assert refused.stderr.startswith("random_agent: cannot reach the simulator server")
