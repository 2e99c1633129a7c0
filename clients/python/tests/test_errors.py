"""Each kind of failure raises its own exception, with a message of this package's own
(never a bare gRPC or HTTP exception's text)."""

import pytest

import tarvo_client
from conftest import unused_port


def test_an_error_reply_carries_the_simulators_message(serve, protocol):
    with tarvo_client.Env(serve("python", protocol).address) as env:
        env.reset(seed=1)
        with pytest.raises(tarvo_client.SimulatorError) as error:
            env.step(7)
        assert error.value.method == "step"
        assert error.value.message == "action must be 0 or 1, got 7"
        assert "action must be 0 or 1, got 7" in str(error.value)
        env.step(1)  # the session goes on


@pytest.mark.parametrize("fault", ["crash", "garbage"])
def test_a_session_that_ended_raises_and_stays_ended(serve, protocol, fault):
    with tarvo_client.Env(serve(fault, protocol).address) as env:
        env.reset(seed=1)
        env.step(0)
        env.step(1)
        with pytest.raises(tarvo_client.SessionEndedError) as error:
            env.step(0)  # the third step: the simulator crashes, or writes garbage
        assert "simulator" in str(error.value)
        with pytest.raises(tarvo_client.SessionEndedError):
            env.reset()
    # A new environment gets a new simulator process.
    with tarvo_client.Env(serve(fault, protocol).address) as env:
        env.reset()


def test_a_hung_simulator_ends_the_session_after_the_reply_limit(serve, protocol):
    with tarvo_client.Env(serve("hang", protocol).address, timeout=1) as env:
        env.reset(seed=1)
        env.step(0)
        env.step(1)
        with pytest.raises(tarvo_client.SessionEndedError, match="no reply .* within 1 s"):
            env.step(0)


def test_a_refused_connection(protocol):
    address = f"{protocol}://127.0.0.1:{unused_port()}"
    with pytest.raises(tarvo_client.ConnectionFailedError) as error:
        tarvo_client.Env(address)
    assert str(error.value) == (f"cannot reach the simulator server at {address}: "
                                "connection refused")
    assert isinstance(error.value, ConnectionError)
    with pytest.raises(tarvo_client.ConnectionFailedError):
        tarvo_client.VectorEnv(address, 2)


def test_the_wrong_protocol_is_told_apart(serve):
    with pytest.raises(tarvo_client.ConnectionFailedError, match="is it serving gRPC"):
        tarvo_client.Env(f"http://127.0.0.1:{serve('cpp', 'grpc').port}")
    with pytest.raises(tarvo_client.ConnectionFailedError):
        tarvo_client.Env(f"grpc://127.0.0.1:{serve('cpp', 'http').port}")


def test_replies_that_break_the_protocol(serve, protocol):
    address = serve("hostile", protocol).address
    with tarvo_client.Env(address, env_init={"mode": "bad_observation"}) as env:
        env.reset()
        with pytest.raises(tarvo_client.SimulatorError,
                           match="observation does not fit the sensor space"):
            env.step((0, [0.0, 0.0]))
    with pytest.raises(tarvo_client.SimulatorError, match="low bound|low exceeds high"):
        tarvo_client.Env(address, env_init={"mode": "bad_space"})
