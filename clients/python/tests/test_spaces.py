"""The package's own spaces (used when gymnasium is not installed)."""

import math

import numpy as np

from tarvo_client import spaces
from tarvo_client.space_json import read_layout


def test_samples_are_members_and_seeds_repeat_them():
    box = spaces.Box([-1.0, -math.inf, 0.0], [1.0, math.inf, math.inf], dtype="float64")
    every = [
        box,
        spaces.Box(-math.inf, math.inf, (2, 2), "int8"),  # the dtype's own limits
        spaces.Box([math.inf, -math.inf], [math.inf, -math.inf], dtype="float64"),  # pinned
        spaces.Box(0, 1, (3,), "bool"),
        spaces.Discrete(3, start=-1),
        spaces.MultiDiscrete([2, 5]),
        spaces.MultiBinary(4),
        spaces.Dict({"b": spaces.Discrete(2), "a": box}),
        spaces.Tuple([spaces.Discrete(2), spaces.MultiBinary(2)]),
    ]
    for space in every:
        for _ in range(20):
            assert space.sample() in space, space
        space.seed(11)
        first = [space.sample() for _ in range(3)]
        space.seed(11)
        again = [space.sample() for _ in range(3)]
        assert repr(first) == repr(again), space
        batched = spaces.batch_space(space, 3)
        assert batched.sample() in batched
    assert list(every[7].sample()) == ["b", "a"]  # the order the simulator gave
    assert every[1].low.min() == -128 and every[1].high.max() == 127


def test_membership_is_checked_exactly():
    box = spaces.Box(0, 10, (2,), "int32")
    assert [1, 10] in box and np.array([0, 5]) in box
    assert [1, 11] not in box and [1.5, 2] not in box and [1] not in box and 3 not in box
    scalar = spaces.Box(-1, 1, (), "float32")
    assert 0.5 in scalar and np.float32(0.5) in scalar and [0.5] not in scalar
    assert True not in spaces.Discrete(2) and 2 not in spaces.Discrete(2)
    assert [0, 2] not in spaces.MultiBinary(2)
    assert {"x": 0} not in spaces.Dict({"x": spaces.Discrete(1), "y": spaces.Discrete(1)})


def test_space_json_is_checked():
    bad = [
        {"type": "Box", "low": 0, "high": 1, "shape": [2], "dtype": "complex64"},
        {"type": "Box", "low": [0, 0, 0], "high": 1, "shape": [2]},
        {"type": "Box", "low": "nan", "high": 1, "shape": [2]},
        {"type": "Discrete", "n": 0},
        {"type": "Discrete", "n": True},
        {"type": "MultiDiscrete", "nvec": []},
        {"type": "Dict", "spaces": [{"type": "Discrete", "n": 2}]},
        {"type": "Graph"},
        [],
    ]
    for value in bad:
        try:
            read_layout(value)
        except ValueError:
            continue
        raise AssertionError(f"accepted {value}")
    layout = read_layout({"type": "Box", "low": [-4.8, "-inf"], "high": [4.8, "inf"], "shape": [2]})
    assert layout.dtype == "float32" and layout.high == [4.8, math.inf]
