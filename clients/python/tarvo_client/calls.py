"""The simulator protocol's calls as an environment makes them: the arguments each call
sends, the checks on each result, and opening sessions with their spaces."""

from . import bounded_json, space_json
from .errors import SimulatorError, TarvoError
from .compat import np
from .session import Session, call_all, shared_connection

# Integer actions are sent without building a value first.
_INTEGERS = frozenset([int] + ([] if np is None else list(np.sctypes["int"] + np.sctypes["uint"])))


def make_args(env_id, env_init):
    if not isinstance(env_id, str):
        raise TypeError(f"env_id must be a text, not {type(env_id).__name__}")
    if env_init is None:
        env_init = {}
    if not isinstance(env_init, dict):
        raise TypeError(f"env_init must be a dict, not {type(env_init).__name__}")
    return bounded_json.dumps({"env_id": env_id, "env_init": bounded_json.plain(env_init)})


def reset_args(seed, options):
    if seed is not None:
        if isinstance(seed, bool) or not hasattr(seed, "__index__"):
            raise TypeError(f"seed must be an integer or None, not {type(seed).__name__}")
        seed = int(seed)
    if options is None:
        return '{"seed":null}' if seed is None else '{"seed":%d}' % seed
    if not isinstance(options, dict):
        raise TypeError(f"options must be a dict or None, not {type(options).__name__}")
    return bounded_json.dumps({"seed": seed, "options": bounded_json.plain(options)})


def step_args(action):
    if type(action) in _INTEGERS:  # most actions are one integer
        return '{"action":%d}' % action
    return bounded_json.dumps({"action": bounded_json.plain(action)})


def _info(method, result):
    info = result.get("info", {})
    if info is None:
        return {}
    if not isinstance(info, dict):
        raise SimulatorError(method, info, "its \"info\" is not an object")
    return info


def read_observation(method, read, value):
    """An observation's JSON as a value of the sensor space (`read`: its reader)."""
    try:
        return read(value)
    except ValueError as error:
        raise SimulatorError(method, value,
                             f"the observation does not fit the sensor space: {error}") from None


def reset_fields(result):
    """(observation JSON, info) of a reset's result, checked but for the observation."""
    if type(result) is not dict:
        raise SimulatorError("reset", result, "the result is not an object")
    if "observation" not in result:
        raise SimulatorError("reset", result, "the reply has no \"observation\"")
    return result["observation"], _info("reset", result)


def step_fields(result):
    """(observation JSON, reward, terminated, truncated, info) of a step's result,
    checked but for the observation."""
    if type(result) is not dict:
        raise SimulatorError("step", result, "the result is not an object")
    if "observation" not in result:
        raise SimulatorError("step", result, "the reply has no \"observation\"")
    reward = result.get("reward")
    if type(reward) not in (float, int):
        raise SimulatorError("step", reward, f"the reward is not a number: {reward!r:.40}")
    terminated = result.get("terminated")
    truncated = result.get("truncated")
    if type(terminated) is not bool or type(truncated) is not bool:
        raise SimulatorError("step", result,
                             "\"terminated\" and \"truncated\" must both be true or false")
    return result["observation"], float(reward), terminated, truncated, _info("step", result)


def reset_result(result, read):
    """(observation, info) of a reset's result; `read` turns observation JSON into a
    value of the sensor space."""
    observation, info = reset_fields(result)
    return read_observation("reset", read, observation), info


def step_result(result, read):
    """(observation, reward, terminated, truncated, info) of a step's result."""
    observation, reward, terminated, truncated, info = step_fields(result)
    return read_observation("step", read, observation), reward, terminated, truncated, info


class ClosesOnExit:
    """`with environment:` closes it on the way out."""

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
        return False


class SpaceSet:
    """A simulator's two spaces: their descriptions, the spaces, and the observation
    reader."""

    def __init__(self, sensor_json, action_json):
        self.observation_layout = _layout("sensor_space", sensor_json)
        self.action_layout = _layout("action_space", action_json)
        self.observation_space = space_json.build_space(self.observation_layout)
        self.action_space = space_json.build_space(self.action_layout)
        self.read_observation = space_json.value_reader(self.observation_layout)
        self.read_observations = space_json.batch_reader(self.observation_layout)


def _layout(method, value):
    try:
        return space_json.read_layout(value)
    except ValueError as error:
        raise SimulatorError(method, value, f"not a space: {error}") from None


def open_sessions(target, count, env_id, env_init, timeout):
    """`count` sessions with the environment made in each (at the same time), and their
    spaces. Any failure ends every session opened."""
    make = make_args(env_id, env_init)
    shared = shared_connection(target) if count > 1 else None
    sessions = []
    try:
        for _ in range(count):
            sessions.append(Session(target, timeout, shared))
        call_all(sessions, "make", [make] * count)
        sensor = call_all(sessions, "sensor_space", ["{}"] * count)
        action = call_all(sessions, "action_space", ["{}"] * count)
        if any(s != sensor[0] for s in sensor) or any(a != action[0] for a in action):
            raise TarvoError("the simulators of one address describe different spaces")
        return sessions, SpaceSet(sensor[0], action[0])
    except BaseException:
        for session in sessions:
            session.abandon()
        raise
