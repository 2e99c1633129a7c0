"""Without numpy the package works on plain lists and numbers, with its own spaces."""

import os
import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent("""
    import sys
    sys.modules["numpy"] = None  # import numpy fails from here on
    import tarvo_client
    from tarvo_client import spaces

    cpp, hostile = sys.argv[1:3]
    with tarvo_client.Env(cpp) as env:
        assert isinstance(env.observation_space, spaces.Box)
        first, _ = env.reset(seed=4)
        observation = first
        assert type(observation) is list and len(observation) == 4
        assert observation in env.observation_space
        action = env.action_space.sample()
        assert type(action) is int
        observation, reward, *_ = env.step(action)
        assert type(observation) is list and reward == 1.0

    with tarvo_client.VectorEnv(cpp, 2, env_init={"max_steps": 1}) as envs:
        observations, _ = envs.reset(seed=4)
        assert len(observations) == 2 and observations[0] == first
        actions = envs.action_space.sample()
        assert type(actions) is list and actions in envs.action_space
        observations, rewards, terminations, truncations, infos = envs.step(actions)
        assert rewards == [1.0, 1.0] and truncations == [True, True]
        assert infos["_final_obs"] == [True, True] and len(infos["final_obs"][0]) == 4

    with tarvo_client.Env(hostile) as env:
        observation, _ = env.reset()
        assert observation in env.observation_space
        assert type(observation["pair"]) is tuple
        env.step(env.action_space.sample())
    print("fine")
""")


def test_lists_and_own_spaces_without_numpy(serve, protocol):
    result = subprocess.run(
        [sys.executable, "-c", SCRIPT, serve("cpp", protocol).address,
         serve("hostile", protocol).address],
        capture_output=True, text=True, timeout=60, env=os.environ)
    assert result.stdout.strip() == "fine", result.stderr
