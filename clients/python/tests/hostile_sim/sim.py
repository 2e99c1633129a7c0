"""A simulator whose replies are valid protocol lines that a client must not trust:
deep nesting, oversized or malformed spaces, terminal control characters. env_init's
"mode" chooses the misdeed; without one it is a well-behaved one-dimensional walk with
a Dict observation and a Tuple action."""

import json
import sys


def nested(depth, leaf):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def dict_space(depth):
    space = {"type": "Discrete", "n": 2}
    for _ in range(depth):
        space = {"type": "Dict", "spaces": {"inner": space}}
    return space


BIG = 900_000  # elements: over 4 MiB of JSON, gRPC's default message limit

GOOD_SENSOR = {"type": "Dict", "spaces": {
    "position": {"type": "Box", "low": -10, "high": 10, "shape": [], "dtype": "int64"},
    "flags": {"type": "MultiBinary", "n": 2},
    "pair": {"type": "Tuple", "spaces": [{"type": "Discrete", "n": 3, "start": -1},
                                          {"type": "MultiDiscrete", "nvec": [4, 5]}]}}}
GOOD_ACTION = {"type": "Tuple", "spaces": [{"type": "Discrete", "n": 3, "start": -1},
                                           {"type": "Box", "low": "-inf", "high": "inf",
                                            "shape": [2], "dtype": "float64"}]}

SENSORS = {
    "deep_space": dict_space(20),
    "wide_space": {"type": "Box", "low": 0, "high": 1, "shape": [1 << 20, 1 << 20]},
    "many_spaces": {"type": "Tuple", "spaces": [{"type": "Discrete", "n": 2}] * 2000},
    "bad_space": {"type": "Box", "low": 1, "high": 0, "shape": [2]},
    "big_observation": {"type": "Box", "low": 0, "high": 1, "shape": [BIG]},
}


def main():
    mode = None
    position = 0
    for line in sys.stdin:
        request = json.loads(line)
        method = request["method"]
        if method == "make":
            mode = (request.get("env_init") or {}).get("mode")
            result = None
        elif method == "sensor_space":
            result = SENSORS.get(mode, GOOD_SENSOR)
        elif method == "action_space":
            result = GOOD_ACTION
        elif method == "reset":
            position = 0
            observation = {"position": 0, "flags": [0, 1], "pair": [-1, [3, 4]]}
            if mode == "deep_observation":
                # Past the client's limit (64) and within the server's (100), which
                # would end the session itself before the client saw the reply.
                observation = nested(80, 0)
            if mode == "big_observation":
                observation = [0.25] * BIG
            result = {"observation": observation, "info": {"seed": request.get("seed")}}
        elif method == "step":
            if mode == "control_error":
                print(json.dumps({"error": "\x1b[2J\x1b]0;owned\x07wiped"}), flush=True)
                continue
            step, _ = request["action"]
            position = max(-10, min(10, position + step))
            observation = {"position": position, "flags": [1, 0], "pair": [step, [0, 0]]}
            if mode == "bad_observation":
                observation = {"position": "far", "flags": [0, 1], "pair": [0, [0, 0]]}
            result = {"observation": observation, "reward": float(position),
                      "terminated": abs(position) == 10, "truncated": False,
                      "info": {"position": position}}
        elif method == "close":
            print(json.dumps({"result": None}), flush=True)
            return
        else:
            print(json.dumps({"error": f"unknown method {method}"}), flush=True)
            continue
        print(json.dumps({"result": result}), flush=True)


if __name__ == "__main__":
    main()
