"""A Python client for simulators served by `tarvo sim run`, for reinforcement learning.

    import tarvo_client

    with tarvo_client.Env("localhost:1337") as env:          # or "http://localhost:1337"
        observation, info = env.reset(seed=7)
        observation, reward, terminated, truncated, info = env.step(
            env.action_space.sample())

`VectorEnv(address, num_envs)` steps several sessions at the same time. Where gymnasium
is installed, the spaces are gymnasium's, `Env` is a `gymnasium.Env`, and
`gymnasium.make("tarvo/Remote-v0", address=...)` works once this package is imported.
"""

from .compat import gymnasium
from .env import Env
from .errors import ConnectionFailedError, SessionEndedError, SimulatorError, TarvoError
from .vector import VectorEnv

__all__ = ["Env", "VectorEnv", "TarvoError", "SimulatorError", "SessionEndedError",
           "ConnectionFailedError"]
__version__ = "0.1.0"

GYMNASIUM_ID = "tarvo/Remote-v0"


def _register_with_gymnasium():
    if gymnasium is not None and GYMNASIUM_ID not in gymnasium.registry:
        gymnasium.register(id=GYMNASIUM_ID, entry_point="tarvo_client.env:Env")


_register_with_gymnasium()
