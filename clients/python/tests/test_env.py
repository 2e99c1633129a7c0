"""Env against the example simulators served by `tarvo sim run`, over gRPC and HTTP."""

import math

import numpy as np
import pytest

import tarvo_client
from tarvo_client.address import parse_address


@pytest.mark.parametrize("simulator", ["cpp", "python"])
def test_an_episode_from_spaces_to_close(serve, protocol, simulator):
    env = tarvo_client.Env(serve(simulator, protocol).address)
    with env:
        sensor, action = env.observation_space, env.action_space
        assert type(sensor).__name__ == "Box" and sensor.shape == (4,)
        assert sensor.dtype == np.float32
        assert math.isinf(sensor.high[1]) and sensor.high[0] == pytest.approx(4.8)
        assert type(action).__name__ == "Discrete" and action.n == 2

        observation, info = env.reset(seed=1)
        assert isinstance(observation, np.ndarray) and observation.dtype == np.float32
        assert observation in sensor and info == {}
        total, done = 0.0, False
        for _ in range(1000):
            chosen = action.sample()
            assert chosen in action
            observation, reward, terminated, truncated, info = env.step(chosen)
            assert observation.shape == (4,) and isinstance(reward, float)
            total += reward
            if terminated or truncated:
                done = True
                break
        assert done and total >= 1.0
    assert env.closed
    env.close()  # again: nothing happens
    with pytest.raises(tarvo_client.SessionEndedError):
        env.step(0)


@pytest.mark.parametrize("simulator", ["cpp", "python"])
def test_seeds_reach_the_simulator(serve, protocol, simulator):
    with tarvo_client.Env(serve(simulator, protocol).address) as env:
        first, _ = env.reset(seed=7)
        env.step(1)
        again, _ = env.reset(seed=7)
        other, _ = env.reset(seed=8)
        # numpy integers are seeds too
        same, _ = env.reset(seed=np.int64(7))
    assert np.array_equal(first, again) and np.array_equal(first, same)
    assert not np.array_equal(first, other)
    with pytest.raises(TypeError):
        env.reset(seed="7")


def test_env_init_reaches_make(serve, protocol):
    address = serve("cpp", protocol).address
    with tarvo_client.Env(address, env_init={"max_steps": 3}) as env:
        env.reset(seed=3)
        ends = [env.step(i % 2)[3] for i in range(3)]
    assert ends == [False, False, True]  # truncated at the third step
    # The Python example refuses settings it does not know, in its make.
    with pytest.raises(tarvo_client.SimulatorError, match="unknown env_init keys: colour") as error:
        tarvo_client.Env(serve("python", protocol).address, env_init={"colour": "red"})
    assert error.value.method == "make"


def test_composite_spaces_and_values_through_the_server(serve, protocol):
    """Dict, Tuple, MultiBinary, MultiDiscrete, Discrete with a start, a scalar Box."""
    with tarvo_client.Env(serve("hostile", protocol).address) as env:
        sensor, action = env.observation_space, env.action_space
        assert list(sensor.spaces) == ["position", "flags", "pair"]  # the simulator's order
        assert sensor["position"].shape == () and sensor["position"].dtype == np.int64
        assert sensor["pair"][0].start == -1
        observation, info = env.reset(seed=2)
        assert info == {"seed": 2}
        assert observation in sensor
        assert observation["flags"].dtype == np.int8
        assert isinstance(observation["pair"], tuple)
        for _ in range(5):
            chosen = action.sample()
            assert chosen in action
            observation, reward, terminated, _, info = env.step(chosen)
            assert observation in sensor and info["position"] == observation["position"]
        # A hand-made action of plain Python values goes as well.
        observation, reward, *_ = env.step((1, [0.5, -2.0]))
        assert reward == float(observation["position"])


def test_address_forms(serve):
    grpc_port = serve("cpp", "grpc").port
    http_port = serve("cpp", "http").port
    for address, protocol in ((f"127.0.0.1:{grpc_port}", None),
                              (f"grpc://127.0.0.1:{grpc_port}", None),
                              (f"http://localhost:{http_port}/", None),
                              (f"127.0.0.1:{http_port}", "http")):
        with tarvo_client.Env(address, protocol) as env:
            assert env.reset(seed=1)[0].shape == (4,)

    assert parse_address("[::1]:80") == ("grpc", "::1", 80)
    for bad, protocol in (("localhost", None), ("localhost:0", None), ("localhost:65536", None),
                          ("ftp://localhost:1", None), ("::1:80", None),
                          ("http://localhost:1", "grpc"), ("localhost:1", "https"),
                          ("http://localhost:1/path", None)):
        with pytest.raises(ValueError):
            parse_address(bad, protocol)
