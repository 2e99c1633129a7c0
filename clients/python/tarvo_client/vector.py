"""Several sessions with one served simulator, stepped at the same time: each call goes
out to every session before the first reply is read, so the simulator processes on the
server work in parallel.

It follows gymnasium's vector environments with same-step autoreset: results are
batched (arrays with a leading axis of `num_envs` where numpy is installed, else
lists), and an environment whose episode ends is reset within the same step: its
observation is the new episode's first, and the last one of the old episode is in
`info["final_obs"]` (its info in `info["final_info"]`), each beside a mask
(`info["_final_obs"]`) telling which environments it holds.
"""

from .address import parse_address
from .calls import (ClosesOnExit, open_sessions, read_observation, reset_args, reset_fields,
                    step_args, step_fields)
from .compat import gymnasium, np
from .errors import SimulatorError
from .session import DEFAULT_TIMEOUT, call_all
from .space_json import batched_space, unbatcher

_NEW_GYMNASIUM = gymnasium is not None and hasattr(gymnasium.vector, "AutoresetMode")
_Base = gymnasium.vector.VectorEnv if _NEW_GYMNASIUM else object
_SAME_STEP = gymnasium.vector.AutoresetMode.SAME_STEP if _NEW_GYMNASIUM else "SameStep"


class VectorEnv(ClosesOnExit, _Base):
    """`num_envs` sessions with the simulator served at `address`; the other arguments
    are those of Env, and so are the failures."""

    metadata = {"autoreset_mode": _SAME_STEP, "render_modes": []}
    render_mode = None

    def __init__(self, address, num_envs, protocol=None, env_init=None, *, env_id="",
                 timeout=DEFAULT_TIMEOUT):
        if isinstance(num_envs, bool) or not isinstance(num_envs, int) or num_envs < 1:
            raise ValueError(f"num_envs must be a positive integer, not {num_envs!r}")
        self.target = parse_address(address, protocol)
        self.closed = True
        self._sessions, spaces = open_sessions(self.target, num_envs, env_id, env_init,
                                               timeout)
        self.closed = False
        self.num_envs = num_envs
        self.single_observation_space = spaces.observation_space
        self.single_action_space = spaces.action_space
        self.observation_space = batched_space(spaces.observation_space, num_envs)
        self.action_space = batched_space(spaces.action_space, num_envs)
        self._read_observation = spaces.read_observation
        self._read_observations = spaces.read_observations
        self._split_actions = unbatcher(spaces.action_layout, num_envs)

    def reset(self, *, seed=None, options=None):
        """Starts an episode in every environment: (observations, infos). `seed` is None,
        an integer (environment i gets seed + i) or one seed per environment."""
        if seed is None or isinstance(seed, int):
            seeds = [None if seed is None else seed + i for i in range(self.num_envs)]
        else:
            seeds = list(seed)
            if len(seeds) != self.num_envs:
                raise ValueError(f"expected {self.num_envs} seeds, not {len(seeds)}")
        args = [reset_args(s, options) for s in seeds]
        observations = []
        infos = {}
        for i, result in enumerate(call_all(self._sessions, "reset", args)):
            observation, info = reset_fields(result)
            observations.append(observation)
            _add_info(infos, info, i, self.num_envs)
        return self._observations("reset", observations), infos

    def step(self, actions):
        """Steps every environment with its action of the batch `actions`:
        (observations, rewards, terminations, truncations, infos)."""
        args = [step_args(action) for action in self._split_actions(actions)]
        steps = [step_fields(result) for result in call_all(self._sessions, "step", args)]
        ended = [i for i, step in enumerate(steps) if step[2] or step[3]]
        restarts = call_all([self._sessions[i] for i in ended], "reset",
                            [reset_args(None, None)] * len(ended))
        observations = [step[0] for step in steps]
        infos = {}
        for i, result in zip(ended, restarts):
            final = read_observation("step", self._read_observation, observations[i])
            _add_info(infos, {"final_obs": final, "final_info": steps[i][4]}, i, self.num_envs)
            observations[i], info = reset_fields(result)
            _add_info(infos, info, i, self.num_envs)
        ended_set = set(ended)
        for i, step in enumerate(steps):
            if i not in ended_set and step[4]:
                _add_info(infos, step[4], i, self.num_envs)
        rewards = [step[1] for step in steps]
        terminations = [step[2] for step in steps]
        truncations = [step[3] for step in steps]
        if np is not None:
            rewards = np.array(rewards, dtype=np.float64)
            terminations = np.array(terminations, dtype=np.bool_)
            truncations = np.array(truncations, dtype=np.bool_)
        observations = self._observations("step", observations)
        return observations, rewards, terminations, truncations, infos

    def _observations(self, method, values):
        """The batched observations of every environment's observation JSON."""
        try:
            return self._read_observations(values)
        except ValueError as error:
            raise SimulatorError(method, values, f"an observation does not fit the sensor "
                                 f"space: {error}") from None

    def close(self, **_):
        """Closes every simulator and ends the sessions; idempotent."""
        for session in getattr(self, "_sessions", ()):
            session.close()
        self.closed = True

    def __repr__(self):
        return f"<tarvo_client.VectorEnv {self.target} num_envs={self.num_envs}>"


def _add_info(infos, info, index, count):
    """Puts one environment's info into the batched infos as gymnasium does: each key
    holds a column of `count` values beside a mask `_key` of the environments that gave
    one; dicts nest."""
    for key, value in info.items():
        if isinstance(value, dict):
            nested = infos.get(key)
            column = _add_info(nested if isinstance(nested, dict) else {}, value, index, count)
        else:
            column = _put(infos.get(key), value, index, count)
        mask = infos.get("_" + key)
        if mask is None:
            mask = np.zeros(count, dtype=np.bool_) if np is not None else [False] * count
        mask[index] = True
        infos[key] = column
        infos["_" + key] = mask
    return infos


def _put(column, value, index, count):
    if np is None:
        column = column if isinstance(column, list) else [None] * count
        column[index] = value
        return column
    if column is None or isinstance(column, dict):
        if type(value) in (bool, int, float) or isinstance(value, np.number):
            column = np.zeros(count, dtype=type(value))
        elif isinstance(value, np.ndarray):
            column = np.zeros((count,) + value.shape, dtype=value.dtype)
        else:
            column = np.full(count, None, dtype=object)
    if column.dtype != object and not _fits(column, value):
        column = _objects(column)  # the environments disagree on the kind of this value
    column[index] = value
    return column


def _fits(column, value):
    if isinstance(value, np.ndarray):
        return value.shape == column.shape[1:] and value.dtype == column.dtype
    # The column's numpy type, or the Python type it stands for (int for int64...).
    return type(value) in (column.dtype.type, type(column.dtype.type(0).item()))


def _objects(column):
    out = np.full(column.shape[0], None, dtype=object)
    for i in range(column.shape[0]):
        out[i] = column[i]
    return out
