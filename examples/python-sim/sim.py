#!/usr/bin/env python3
"""A tarvo simulator: balance a pole on a cart.

The cart moves along a track; a pole is hinged on top of it. Each step pushes the cart
left (action 0) or right (action 1) and pays a reward of 1 while the pole stays up. The
episode ends when the pole tilts past 12 degrees or the cart leaves the track, and is cut
off after `max_steps` steps.

tarvo starts this program once per client session and talks to it through standard
input and output: one JSON request per line in, exactly one JSON reply per line out (see
docs/simulator-protocol.md in the tarvo sources). Only the Python standard library is used.
"""

import json
import math
import random
import sys

# The sensor space: cart position, cart velocity, pole angle, pole angular velocity.
# JSON has no infinity, so unbounded limits are written as the texts "inf" and "-inf".
SENSOR_SPACE = {
    "type": "Box",
    "low": [-4.8, "-inf", -0.41887903, "-inf"],
    "high": [4.8, "inf", 0.41887903, "inf"],
    "shape": [4],
    "dtype": "float32",
}

# The action space: 0 pushes the cart left, 1 pushes it right.
ACTION_SPACE = {"type": "Discrete", "n": 2}

# Settings a client may change through env_init, with their defaults.
DEFAULTS = {
    "gravity": 9.8,
    "cart_mass": 1.0,
    "pole_mass": 0.1,
    "pole_half_length": 0.5,
    "force": 10.0,
    "time_step": 0.02,
    "max_steps": 500,
}

ANGLE_LIMIT = 12 * 2 * math.pi / 360
POSITION_LIMIT = 2.4


class CartPole:
    def __init__(self, env_init):
        unknown = sorted(set(env_init) - set(DEFAULTS))
        if unknown:
            raise ValueError("unknown env_init keys: " + ", ".join(unknown))
        self.settings = dict(DEFAULTS, **env_init)
        for key, value in self.settings.items():
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ValueError("env_init key '%s' must be a number" % key)
        self.random = random.Random()
        self.state = None
        self.steps = 0
        self.done = False

    def reset(self, seed):
        if seed is not None:
            self.random.seed(seed)
        self.state = [self.random.uniform(-0.05, 0.05) for _ in range(4)]
        self.steps = 0
        self.done = False
        return {"observation": list(self.state), "info": {}}

    def step(self, action):
        if self.state is None:
            raise ValueError("step before reset")
        if isinstance(action, bool) or action not in (0, 1):
            raise ValueError("action must be 0 or 1, got %s" % json.dumps(action))
        if self.done:
            # Stepping past the end changes nothing and pays nothing.
            return self._reply(0.0, True, False)

        s = self.settings
        x, x_dot, theta, theta_dot = self.state
        force = s["force"] if action == 1 else -s["force"]
        total_mass = s["cart_mass"] + s["pole_mass"]
        pole_moment = s["pole_mass"] * s["pole_half_length"]
        cos, sin = math.cos(theta), math.sin(theta)
        temp = (force + pole_moment * theta_dot**2 * sin) / total_mass
        theta_acc = (s["gravity"] * sin - cos * temp) / (
            s["pole_half_length"] * (4.0 / 3.0 - s["pole_mass"] * cos**2 / total_mass)
        )
        x_acc = temp - pole_moment * theta_acc * cos / total_mass

        dt = s["time_step"]
        x += dt * x_dot
        x_dot += dt * x_acc
        theta += dt * theta_dot
        theta_dot += dt * theta_acc
        self.state = [x, x_dot, theta, theta_dot]
        self.steps += 1

        terminated = abs(x) > POSITION_LIMIT or abs(theta) > ANGLE_LIMIT
        truncated = not terminated and self.steps >= s["max_steps"]
        self.done = terminated or truncated
        return self._reply(1.0, terminated, truncated)

    def _reply(self, reward, terminated, truncated):
        return {
            "observation": list(self.state),
            "reward": reward,
            "terminated": terminated,
            "truncated": truncated,
            "info": {"steps": self.steps},
        }


def handle(sim, request):
    """Answers one request; returns (sim, result)."""
    method = request.get("method")
    if method == "make":
        return CartPole(request.get("env_init") or {}), None
    if sim is None:
        raise ValueError("the first request must be make, not %s" % json.dumps(method))
    if method == "sensor_space":
        return sim, SENSOR_SPACE
    if method == "action_space":
        return sim, ACTION_SPACE
    if method == "reset":
        return sim, sim.reset(request.get("seed"))
    if method == "step":
        return sim, sim.step(request.get("action"))
    if method == "close":
        return None, None
    raise ValueError("unknown method %s" % json.dumps(method))


def main():
    sim = None
    while True:
        line = sys.stdin.readline()
        if not line:
            return  # end of input: the session is over
        if not line.strip():
            continue
        method = None
        try:
            request = json.loads(line)
            if not isinstance(request, dict):
                raise ValueError("a request must be a JSON object")
            method = request.get("method")
            sim, result = handle(sim, request)
            reply = json.dumps({"result": result}, allow_nan=False)
        except Exception as error:  # every failure goes back to the client as a reply
            reply = json.dumps({"error": str(error) or type(error).__name__})
        sys.stdout.write(reply + "\n")
        sys.stdout.flush()
        if method == "close":
            return


if __name__ == "__main__":
    main()
