#!/usr/bin/env python3
"""A random agent: plays episodes against a served simulator and prints the mean return.

    build/bin/tarvo sim run build/examples/cpp-sim --host 127.0.0.1 &
    PYTHONPATH=clients/python:build/python python3 examples/python-client/random_agent.py

The address is the simulator server's, as on tarvo's command line: host:port (gRPC,
the default 127.0.0.1:1337), grpc://host:port or http://host:port. With --envs N the
agent steps N sessions at once through a VectorEnv.
"""

import argparse
import sys

import tarvo_client


def play(address, episodes, seed):
    """Episodes one after the other in one environment; their returns."""
    returns = []
    with tarvo_client.Env(address) as env:
        env.action_space.seed(seed)
        for episode in range(episodes):
            env.reset(seed=seed + episode)
            total, done = 0.0, False
            while not done:
                _, reward, terminated, truncated, _ = env.step(env.action_space.sample())
                total += reward
                done = terminated or truncated
            returns.append(total)
    return returns


def play_vector(address, episodes, seed, count):
    """Episodes in `count` environments at once (each restarts on its own when its
    episode ends); the returns of the first `episodes` to end."""
    returns = []
    with tarvo_client.VectorEnv(address, count) as envs:
        envs.action_space.seed(seed)
        envs.reset(seed=seed)
        totals = [0.0] * count
        while len(returns) < episodes:
            _, rewards, terminations, truncations, _ = envs.step(envs.action_space.sample())
            for i in range(count):
                totals[i] += float(rewards[i])
                if terminations[i] or truncations[i]:
                    returns.append(totals[i])
                    totals[i] = 0.0
    return returns[:episodes]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("address", nargs="?", default="127.0.0.1:1337",
                        help="host:port (gRPC), grpc://host:port or http://host:port")
    parser.add_argument("--episodes", type=int, default=10)
    parser.add_argument("--envs", type=int, default=1,
                        help="sessions stepped at once (a VectorEnv when more than 1)")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    if args.episodes < 1 or args.envs < 1:
        parser.error("--episodes and --envs must be at least 1")
    try:
        if args.envs == 1:
            returns = play(args.address, args.episodes, args.seed)
        else:
            returns = play_vector(args.address, args.episodes, args.seed, args.envs)
    except (tarvo_client.TarvoError, ValueError) as error:
        print(f"random_agent: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    print(f"{len(returns)} episodes, mean return {sum(returns) / len(returns):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
