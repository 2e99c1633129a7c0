#!/usr/bin/env python3
"""Steps per second of the Python client against a running `tarvo sim run` of the C++
example simulator, beside the loop a user would write on the generated gRPC stubs.

    raw-grpc  the generated stubs: one Session stream fed from a queue, each reply read
              with json.loads; a reset when an episode ends
    env       tarvo_client.Env: the same episodes through the package
    vector    tarvo_client.VectorEnv with `envs` sessions; a figure counts the steps of
              every environment

Each step is timed on its own (resets apart, as their own round trips). Prints one JSON
line: steps_per_s, p50_us, p99_us.

Usage: python_client.py raw-grpc|env|vector address steps [envs]
Run from the source tree with PYTHONPATH=clients/python:build/python.
"""

import json
import queue
import statistics
import sys
import time


def raw_grpc(address, steps):
    import grpc
    from tarvo_client_proto import simulator_pb2, simulator_pb2_grpc

    outbox = queue.SimpleQueue()

    def calls():
        while (call := outbox.get()) is not None:
            yield call

    channel = grpc.insecure_channel(address.removeprefix("grpc://"))
    replies = simulator_pb2_grpc.SimulatorStub(channel).Session(calls())

    def call(method, args):
        outbox.put(simulator_pb2.Call(method=method, args=args))
        return json.loads(next(replies).line)["result"]

    call("make", '{"env_id":"","env_init":{}}')
    call("reset", '{"seed":0}')
    times = []
    clock = time.perf_counter_ns
    for i in range(steps):
        start = clock()
        result = call("step", '{"action":%d}' % (i & 1))
        times.append(clock() - start)
        if result["terminated"] or result["truncated"]:
            call("reset", '{"seed":null}')
    outbox.put(None)
    channel.close()
    return times, 1


def env(address, steps):
    import tarvo_client

    times = []
    clock = time.perf_counter_ns
    with tarvo_client.Env(address) as environment:
        environment.reset(seed=0)
        for i in range(steps):
            start = clock()
            _, _, terminated, truncated, _ = environment.step(i & 1)
            times.append(clock() - start)
            if terminated or truncated:
                environment.reset()
    return times, 1


def vector(address, steps, count):
    import numpy as np

    import tarvo_client

    times = []
    clock = time.perf_counter_ns
    actions = [np.zeros(count, dtype=np.int64), np.ones(count, dtype=np.int64)]
    with tarvo_client.VectorEnv(address, count) as environments:
        environments.reset(seed=0)
        for i in range(max(1, steps // count)):
            start = clock()
            environments.step(actions[i & 1])  # ended episodes restart within the step
            times.append(clock() - start)
    return times, count


def main():
    what, address, steps = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if what == "raw-grpc":
        times, per_call = raw_grpc(address, steps)
    elif what == "env":
        times, per_call = env(address, steps)
    else:
        times, per_call = vector(address, steps, int(sys.argv[4]))
    seconds = sum(times) / 1e9
    print(json.dumps({"steps_per_s": len(times) * per_call / seconds,
                      "p50_us": statistics.median(times) / 1000,
                      "p99_us": statistics.quantiles(times, n=100)[98] / 1000}))


if __name__ == "__main__":
    main()
