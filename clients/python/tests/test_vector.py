"""VectorEnv against the example simulators: batching, seeds, same-step autoreset."""

import numpy as np
import pytest

import tarvo_client


def test_batches_seeds_and_autoreset(serve, protocol):
    address = serve("cpp", protocol).address
    envs = tarvo_client.VectorEnv(address, 3, env_init={"max_steps": 4})
    with envs:
        assert envs.num_envs == 3
        assert envs.single_observation_space.shape == (4,)
        assert envs.observation_space.shape == (3, 4)
        assert list(envs.action_space.nvec) == [2, 2, 2]
        observations, infos = envs.reset(seed=5)
        assert observations.shape == (3, 4) and observations.dtype == np.float32
        assert infos == {}
        for _ in range(3):
            observations, rewards, terminations, truncations, infos = envs.step(
                np.array([0, 1, 0]))
            assert rewards.tolist() == [1.0, 1.0, 1.0] and not truncations.any()
            assert "final_obs" not in infos
        # The fourth step ends every episode (max_steps): each environment starts the
        # next one within the same step.
        observations, _, terminations, truncations, infos = envs.step([1, 0, 1])
        assert (terminations | truncations).all()
        assert infos["_final_obs"].tolist() == [True, True, True]
        final = infos["final_obs"]

    # Each environment is the same as one Env seeded 5 + i and stepped alike.
    for i in range(3):
        with tarvo_client.Env(address, env_init={"max_steps": 4}) as env:
            first, _ = env.reset(seed=5 + i)
            for action in ([0, 1, 0][i],) * 3 + ([1, 0, 1][i],):
                last = env.step(action)[0]
            restarted, _ = env.reset()
        assert np.array_equal(final[i], last)
        assert np.array_equal(observations[i], restarted)


def test_infos_are_batched_with_masks(serve, protocol):
    """The Python example puts the step count in info; one environment ends early."""
    address = serve("python", protocol).address
    with tarvo_client.VectorEnv(address, 2, env_init={"max_steps": 2}) as envs:
        envs.reset(seed=[11, None])
        _, _, _, _, infos = envs.step([0, 1])
        assert infos["steps"].tolist() == [1, 1] and infos["_steps"].all()
        _, _, _, truncations, infos = envs.step([1, 0])
        assert truncations.all()
        # The finished episodes' infos, and the new episodes' (empty) ones.
        assert infos["final_info"]["steps"].tolist() == [2, 2]
        assert infos["_final_info"].all() and "steps" not in infos

        with pytest.raises(ValueError, match="expected 2 actions"):
            envs.step([0, 1, 0])
        with pytest.raises(ValueError, match="expected 2 seeds"):
            envs.reset(seed=[1])
        # An error reply from every simulator; the sessions go on.
        with pytest.raises(tarvo_client.SimulatorError, match="action must be 0 or 1"):
            envs.step([5, 5])
        assert envs.step([0, 0])[0].shape == (2, 4)


def test_composite_spaces_batch(serve, protocol):
    with tarvo_client.VectorEnv(serve("hostile", protocol).address, 2) as envs:
        observations, infos = envs.reset(seed=0)
        assert observations in envs.observation_space
        assert infos["seed"].tolist() == [0, 1]
        actions = envs.action_space.sample()
        observations, rewards, *_ = envs.step(actions)
        assert observations in envs.observation_space
        assert observations["position"].tolist() == list(actions[0])
