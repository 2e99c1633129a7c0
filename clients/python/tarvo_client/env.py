"""A served simulator as a gymnasium-style environment: one session, that is one
simulator process on the server, for the life of the environment."""

from .address import parse_address
from .calls import (ClosesOnExit, open_sessions, reset_args, reset_result, step_args,
                    step_result)
from .compat import gymnasium
from .session import DEFAULT_TIMEOUT

_Base = gymnasium.Env if gymnasium is not None else object


class Env(ClosesOnExit, _Base):
    """The simulator served at `address` (`host:port`, `grpc://host:port` or
    `http://host:port`, as on tarvo's command line).

    `protocol` ("grpc" or "http") applies to an address without a scheme, which is gRPC
    otherwise. `env_init` is handed to the simulator's make call, over the server's own
    `--env-init` settings; `env_id` too. `timeout` bounds the wait for each reply, in
    seconds.

    Raises ConnectionFailedError when the server cannot be reached, SessionEndedError
    when the simulator cannot start or the session ends, SimulatorError when the
    simulator answers a call with an error (the session goes on).
    """

    metadata = {"render_modes": []}
    render_mode = None

    def __init__(self, address, protocol=None, env_init=None, *, env_id="",
                 timeout=DEFAULT_TIMEOUT):
        self.target = parse_address(address, protocol)
        (self._session,), spaces = open_sessions(self.target, 1, env_id, env_init, timeout)
        self.observation_space = spaces.observation_space
        self.action_space = spaces.action_space
        self._read_observation = spaces.read_observation

    def reset(self, *, seed=None, options=None):
        """Starts an episode: (observation, info). `seed` (an integer) reaches the
        simulator, and `options` (a dict) too when given."""
        args = reset_args(seed, options)
        if gymnasium is not None:  # gymnasium's own random generator, as its envs seed it
            super().reset(seed=None if seed is None else int(seed))
        return reset_result(self._session.call("reset", args), self._read_observation)

    def step(self, action):
        """(observation, reward, terminated, truncated, info) after `action`."""
        return step_result(self._session.call("step", step_args(action)),
                           self._read_observation)

    def close(self):
        """Closes the simulator and ends the session; idempotent."""
        session = getattr(self, "_session", None)
        if session is not None:
            session.close()

    @property
    def closed(self):
        session = getattr(self, "_session", None)
        return session is None or session.over

    def __repr__(self):
        return f"<tarvo_client.Env {self.target}>"

    def __str__(self):
        return repr(self)
