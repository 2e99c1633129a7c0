"""A simulator's space JSON, checked and read into a description (`Layout`), and what is
built from one: the space itself (gymnasium's where it is installed, else the package's
own), and the functions that turn observation JSON into values, batch values of several
environments, and split batched actions.

Space JSON comes from outside: nesting, sizes and counts are bounded, and anything
malformed is a ValueError naming what is wrong.
"""

import math
from collections import OrderedDict

from . import spaces as own_spaces
from .compat import gymnasium, np

MAX_NESTING = 16  # Dict and Tuple spaces inside each other
MAX_SPACES = 1024  # spaces in one description, all levels together
MAX_DIMENSIONS = 32
MAX_ELEMENTS = 1 << 25  # more than a 64 MiB reply can carry
_INFINITE = {"inf": math.inf, "-inf": -math.inf}


class Layout:
    """One space of a description: `kind` and the fields of that kind."""

    def __init__(self, kind, **fields):
        self.kind = kind
        self.shape = ()
        self.dtype = None
        self.children = None  # Dict: list of (key, Layout); Tuple: list of Layout
        self.__dict__.update(fields)


def read_layout(value):
    """Checks space JSON (already parsed) and returns its Layout."""
    budget = [MAX_SPACES]
    return _read(value, 0, budget)


def _read(value, depth, budget):
    budget[0] -= 1
    if budget[0] < 0:
        raise ValueError(f"more than {MAX_SPACES} spaces")
    if not isinstance(value, dict) or not isinstance(value.get("type"), str):
        raise ValueError("a space is an object with a \"type\"")
    kind = value["type"]
    if kind == "Box":
        return _read_box(value)
    if kind == "Discrete":
        n = _integer(value.get("n"), "Discrete n", least=1)
        start = _integer(value.get("start", 0), "Discrete start")
        return Layout(kind, n=n, start=start, dtype="int64")
    if kind == "MultiDiscrete":
        nvec = value.get("nvec")
        if not isinstance(nvec, list) or not nvec or len(nvec) > MAX_ELEMENTS:
            raise ValueError("MultiDiscrete nvec must be a non-empty array")
        nvec = [_integer(n, "MultiDiscrete nvec", least=1) for n in nvec]
        return Layout(kind, nvec=nvec, shape=(len(nvec),), dtype="int64")
    if kind == "MultiBinary":
        n = value.get("n")
        shape = tuple(n) if isinstance(n, list) else (n,)
        return Layout(kind, shape=_shape(shape, "MultiBinary n", least=1), dtype="int8")
    if kind in ("Dict", "Tuple"):
        if depth >= MAX_NESTING:
            raise ValueError(f"spaces nested deeper than {MAX_NESTING} levels")
        children = value.get("spaces")
        if kind == "Dict":
            if not isinstance(children, dict):
                raise ValueError("Dict spaces must be an object")
            return Layout(kind, children=[(key, _read(child, depth + 1, budget))
                                        for key, child in children.items()])
        if not isinstance(children, list):
            raise ValueError("Tuple spaces must be an array")
        return Layout(kind, children=[_read(child, depth + 1, budget) for child in children])
    raise ValueError(f"unknown space type '{kind[:40]}'")


def _read_box(value):
    dtype = value.get("dtype", "float32")
    if dtype not in own_spaces.BOX_DTYPES:
        raise ValueError(f"unsupported Box dtype {str(dtype)[:40]!r}")
    shape = value.get("shape", [])
    if not isinstance(shape, list):
        raise ValueError("Box shape must be an array")
    shape = _shape(shape, "Box shape")
    count = math.prod(shape)
    low = _bounds(value.get("low"), shape, count, "low")
    high = _bounds(value.get("high"), shape, count, "high")
    if any(lo > hi for lo, hi in zip(low, high)):
        raise ValueError("Box low exceeds high")
    return Layout("Box", shape=shape, dtype=dtype, low=low, high=high)


def _shape(dims, what, least=0):
    if len(dims) > MAX_DIMENSIONS:
        raise ValueError(f"{what} has more than {MAX_DIMENSIONS} dimensions")
    shape = tuple(_integer(n, what, least=least) for n in dims)
    if math.prod(shape) > MAX_ELEMENTS:
        raise ValueError(f"{what} {shape} holds more than {MAX_ELEMENTS} elements")
    return shape


def _integer(value, what, least=None):
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError(f"{what} must be an integer")
    if least is not None and value < least:
        raise ValueError(f"{what} must be at least {least}")
    if abs(value) >= 1 << 63:
        raise ValueError(f"{what} is too large")
    return value


def _bound(value, what):
    if isinstance(value, str) and value in _INFINITE:
        return _INFINITE[value]
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"Box {what} holds something that is not a number or \"inf\"")
    return float(value)


def _bounds(value, shape, count, what):
    """A Box bound: one number for every element, or a nested array of the shape."""
    if not isinstance(value, list):
        return [_bound(value, what)] * count
    flat = []

    def walk(item, dims):
        if not dims:
            flat.append(_bound(item, what))
            return
        if not isinstance(item, list) or len(item) != dims[0]:
            raise ValueError(f"Box {what} does not have the shape {shape}")
        for part in item:
            walk(part, dims[1:])

    walk(value, shape)
    return flat


# -- spaces ------------------------------------------------------------------------


def build_space(layout):
    """The space a Layout describes: gymnasium's where gymnasium is installed."""
    kit = gymnasium.spaces if gymnasium is not None else own_spaces
    kind = layout.kind
    if kind == "Box":
        low, high = _typed_bounds(layout)
        if gymnasium is not None:
            dtype = np.dtype(layout.dtype)
            return kit.Box(low=np.array(low, dtype=dtype).reshape(layout.shape),
                           high=np.array(high, dtype=dtype).reshape(layout.shape),
                           shape=layout.shape, dtype=dtype)
        return kit.Box(own_spaces._nest(low, layout.shape), own_spaces._nest(high, layout.shape),
                       layout.shape, layout.dtype)
    if kind == "Discrete":
        return kit.Discrete(layout.n, start=layout.start)
    if kind == "MultiDiscrete":
        return kit.MultiDiscrete(layout.nvec)
    if kind == "MultiBinary":
        return kit.MultiBinary(layout.shape[0] if len(layout.shape) == 1 else list(layout.shape))
    if kind == "Dict":
        return kit.Dict(OrderedDict((key, build_space(child)) for key, child in layout.children))
    return kit.Tuple(tuple(build_space(child) for child in layout.children))


def _typed_bounds(layout):
    """Box bounds an integer or boolean dtype can hold: infinite bounds become the
    dtype's own limits."""
    if layout.dtype == "bool":
        return ([min(max(v, 0.0), 1.0) for v in layout.low],
                [min(max(v, 0.0), 1.0) for v in layout.high])
    limits = own_spaces._INT_RANGES.get(layout.dtype)
    if limits is None:
        return layout.low, layout.high
    lo, hi = limits
    return ([int(min(max(v, lo), hi)) for v in layout.low],
            [int(min(max(v, lo), hi)) for v in layout.high])


# -- values ------------------------------------------------------------------------


def value_reader(layout):
    """A function from observation JSON (parsed) to the space's value: numpy arrays and
    scalars where numpy is installed, else lists and numbers. It raises ValueError when
    the value does not have the space's structure, shape or element kind."""
    kind = layout.kind
    if kind == "Dict":
        readers = [(key, value_reader(child)) for key, child in layout.children]
        keys = {key for key, _ in readers}

        def read_dict(value):
            if not isinstance(value, dict) or value.keys() != keys:
                raise ValueError(f"expected an object with the keys {sorted(keys)}")
            return {key: read(value[key]) for key, read in readers}

        return read_dict
    if kind == "Tuple":
        readers = [value_reader(child) for child in layout.children]

        def read_tuple(value):
            if not isinstance(value, list) or len(value) != len(readers):
                raise ValueError(f"expected an array of {len(readers)} values")
            return tuple(read(item) for read, item in zip(readers, value))

        return read_tuple
    if kind == "Discrete":
        make = np.int64 if np is not None else int

        def read_integer(value):
            if type(value) is not int:
                raise ValueError(f"expected an integer, not {_describe(value)}")
            return make(value)

        return read_integer
    return _array_reader(layout)


def _array_reader(layout):
    shape = layout.shape
    kinds = _json_kinds(layout.dtype)
    if np is not None:
        dtype = np.dtype(layout.dtype)

        def read_array(value):
            raw = _as_array(value)
            if raw is None or raw.dtype.kind not in kinds or raw.shape != shape:
                raise ValueError(f"expected {_shape_text(shape)} of {layout.dtype}, "
                                 f"not {_describe(value)}")
            return raw.astype(dtype, copy=False)

        return read_array

    def element_ok(item):
        if isinstance(item, bool):
            return "b" in kinds
        return isinstance(item, int) or (isinstance(item, float) and "f" in kinds)

    def read_list(value):
        flat = own_spaces._flatten(value, shape)
        if flat is None or not all(element_ok(item) for item in flat):
            raise ValueError(f"expected {_shape_text(shape)} of {layout.dtype}, "
                             f"not {_describe(value)}")
        return value

    return read_list


def _as_array(value):
    """`value` as a numpy array, or None when it is ragged."""
    try:
        return np.asarray(value)
    except (ValueError, TypeError):
        return None


def _json_kinds(dtype):
    """The numpy kinds of JSON numbers each dtype takes: booleans only for bool,
    integers for integer dtypes."""
    if dtype == "bool":
        return "biu"
    return "iuf" if dtype.startswith("float") else "iu"


def _shape_text(shape):
    return "a number" if shape == () else f"an array of shape {list(shape)}"


def _describe(value):
    text = repr(value)
    return text if len(text) <= 60 else text[:60] + "..."


def batch_reader(layout):
    """A function from the observation JSON of several environments (a list) to one
    batched value, checked as `value_reader` checks one: with numpy, each array of the
    space is read for all environments at once."""
    kind = layout.kind
    if kind == "Dict":
        parts = [(key, batch_reader(child)) for key, child in layout.children]
        keys = {key for key, _ in parts}

        def read_dicts(values):
            if not all(isinstance(v, dict) and v.keys() == keys for v in values):
                raise ValueError(f"expected objects with the keys {sorted(keys)}")
            return {key: part([v[key] for v in values]) for key, part in parts}

        return read_dicts
    if kind == "Tuple":
        parts = [batch_reader(child) for child in layout.children]

        def read_tuples(values):
            if not all(isinstance(v, list) and len(v) == len(parts) for v in values):
                raise ValueError(f"expected arrays of {len(parts)} values")
            return tuple(part([v[i] for v in values]) for i, part in enumerate(parts))

        return read_tuples
    single = value_reader(layout)
    if np is None:
        return lambda values: [single(v) for v in values]
    if kind == "Discrete":

        def read_integers(values):
            if not all(type(v) is int for v in values):
                raise ValueError("expected integers")
            return np.array(values, dtype=np.int64)

        return read_integers
    kinds = _json_kinds(layout.dtype)
    dtype = np.dtype(layout.dtype)

    def read_arrays(values):
        raw = _as_array(values)
        if raw is None or raw.dtype.kind not in kinds or raw.shape[1:] != layout.shape:
            for value in values:
                single(value)  # names what is wrong
            raise ValueError(f"expected arrays of shape {list(layout.shape)}")
        return raw.astype(dtype, copy=False)

    return read_arrays


def unbatcher(layout, count):
    """A function from a batched action to the `count` actions of the environments."""
    kind = layout.kind
    if kind == "Dict":
        parts = [(key, unbatcher(child, count)) for key, child in layout.children]

        def split_dict(actions):
            if not isinstance(actions, dict) or actions.keys() != {key for key, _ in parts}:
                raise ValueError("batched Dict actions are a dict with the space's keys")
            split = {key: part(actions[key]) for key, part in parts}
            return [{key: split[key][i] for key, _ in parts} for i in range(count)]

        return split_dict
    if kind == "Tuple":
        parts = [unbatcher(child, count) for child in layout.children]

        def split_tuple(actions):
            if not isinstance(actions, (tuple, list)) or len(actions) != len(parts):
                raise ValueError(f"batched Tuple actions hold {len(parts)} parts")
            split = [part(actions[i]) for i, part in enumerate(parts)]
            return [tuple(column[i] for column in split) for i in range(count)]

        return split_tuple

    def split(actions):
        if len(actions) != count:
            raise ValueError(f"expected {count} actions, one per environment, "
                             f"not {len(actions)}")
        if kind == "Discrete" and np is not None and isinstance(actions, np.ndarray):
            return actions.tolist()  # Python integers: the quickest to send
        return [actions[i] for i in range(count)]

    return split


def batched_space(space, count):
    """The space of `count` values of `space` side by side."""
    if gymnasium is not None:
        from gymnasium.vector.utils import batch_space

        return batch_space(space, count)
    return own_spaces.batch_space(space, count)
