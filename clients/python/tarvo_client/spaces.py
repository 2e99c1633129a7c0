"""Small space classes for when gymnasium is not installed: Box, Discrete, MultiDiscrete,
MultiBinary, Dict and Tuple, with the attributes and methods agents use (`shape`,
`dtype`, `sample()`, `contains()`, `seed()`), named and shaped as gymnasium's.

Values are numpy arrays and scalars where numpy is installed, else nested lists and
Python numbers; `contains()` accepts either form.
"""

import math
import random
from collections import OrderedDict

from .compat import np

BOX_DTYPES = ("float16", "float32", "float64", "int8", "int16", "int32", "int64", "uint8",
              "uint16", "uint32", "uint64", "bool")
_INT_RANGES = {f"{sign}int{bits}": ((-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if sign == ""
                                    else (0, (1 << bits) - 1))
               for sign in ("", "u") for bits in (8, 16, 32, 64)}


def _is_integer(x):
    if isinstance(x, bool):
        return False
    if isinstance(x, int):
        return True
    return np is not None and isinstance(x, np.integer)


def _is_number(x):
    if isinstance(x, bool):
        return False
    if isinstance(x, (int, float)):
        return True
    return np is not None and isinstance(x, (np.integer, np.floating))


def _count(shape):
    return math.prod(shape)


def _flatten(x, shape):
    """The elements of `x` (nested sequences or an array of `shape`) in order, or None
    when `x` does not have that shape."""
    if np is not None and isinstance(x, np.ndarray):
        return x.reshape(-1).tolist() if x.shape == tuple(shape) else None
    if len(shape) == 1 and isinstance(x, (list, tuple)):  # the common case, quickly
        if len(x) != shape[0] or any(isinstance(v, (list, tuple)) for v in x):
            return None
        return list(x)
    if not shape:
        return [x] if not isinstance(x, (list, tuple)) else None
    if not isinstance(x, (list, tuple)) or len(x) != shape[0]:
        return None
    out = []
    for item in x:
        flat = _flatten(item, shape[1:])
        if flat is None:
            return None
        out.extend(flat)
    return out


def _nest(flat, shape):
    """Flat elements back into nested lists of `shape` (a bare element for shape ())."""
    if not shape:
        return flat[0]
    if len(shape) == 1:
        return list(flat)
    step = len(flat) // shape[0] if shape[0] else 0
    return [_nest(flat[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def _shape_of(shape):
    if isinstance(shape, int) and not isinstance(shape, bool):
        shape = (shape,)
    shape = tuple(shape)
    if not all(_is_integer(n) and n >= 0 for n in shape):
        raise ValueError(f"a shape holds non-negative integers, not {shape}")
    return tuple(int(n) for n in shape)


class Space:
    """What every space has: a shape, a dtype, its own random generator."""

    def __init__(self, shape=None, dtype=None, seed=None):
        self._shape = shape
        self.dtype = np.dtype(dtype) if (np is not None and dtype is not None) else dtype
        self._random = random.Random(seed)

    @property
    def shape(self):
        return self._shape

    def seed(self, seed=None):
        """Seeds the space's sampling; returns the seeds used."""
        self._random.seed(seed)
        return [seed]

    def sample(self):
        raise NotImplementedError

    def contains(self, x):
        raise NotImplementedError

    def __contains__(self, x):
        return self.contains(x)

    def _array(self, flat, dtype):
        if np is None:
            return _nest(flat, self._shape)
        return np.array(flat, dtype=dtype).reshape(self._shape)


class Box(Space):
    """Numbers of one shape and dtype, each between its low and high bound (which may be
    infinite for floating-point boxes)."""

    def __init__(self, low, high, shape=None, dtype="float32", seed=None):
        dtype = np.dtype(dtype).name if np is not None else str(dtype)
        if dtype not in BOX_DTYPES:
            raise ValueError(f"unsupported Box dtype '{dtype}'")
        if shape is None:
            shape = _array_shape(low) if _array_shape(low) else _array_shape(high)
        shape = _shape_of(shape)
        super().__init__(shape, dtype, seed)
        self._dtype_name = dtype
        self._low = self._bounds(low, "low")
        self._high = self._bounds(high, "high")
        if any(lo > hi for lo, hi in zip(self._low, self._high)):
            raise ValueError("a Box's low bound exceeds its high bound")

    def _bounds(self, value, name):
        if _is_number(value):
            flat = [value] * _count(self._shape)
        else:
            flat = _flatten(value, self._shape)
            if flat is None:
                raise ValueError(f"a Box's {name} does not have its shape {self._shape}")
        if not all(_is_number(v) for v in flat):
            raise ValueError(f"a Box's {name} holds something that is not a number")
        flat = [float(v) for v in flat]
        if self._dtype_name == "bool":
            return [min(max(v, 0.0), 1.0) for v in flat]
        if self._dtype_name in _INT_RANGES:  # infinite bounds are the type's own
            lo, hi = _INT_RANGES[self._dtype_name]
            return [int(min(max(v, lo), hi)) for v in flat]
        return flat

    @property
    def low(self):
        return self._array(self._low, self.dtype)

    @property
    def high(self):
        return self._array(self._high, self.dtype)

    def is_bounded(self, manner="both"):
        below = all(math.isfinite(v) for v in self._low)
        above = all(math.isfinite(v) for v in self._high)
        return {"both": below and above, "below": below, "above": above}[manner]

    def sample(self):
        draw = self._random
        out = []
        for lo, hi in zip(self._low, self._high):
            if self._dtype_name == "bool":
                out.append(bool(draw.randint(int(lo), int(hi))))
            elif self._dtype_name in _INT_RANGES:
                out.append(draw.randint(lo, hi))
            elif lo == hi:  # also a bound pinned at an infinity
                out.append(lo)
            elif math.isfinite(lo) and math.isfinite(hi):
                out.append(draw.uniform(lo, hi))
            elif math.isfinite(lo):
                out.append(lo + draw.expovariate(1.0))
            elif math.isfinite(hi):
                out.append(hi - draw.expovariate(1.0))
            else:
                out.append(draw.gauss(0.0, 1.0))
        return self._array(out, self.dtype)

    def contains(self, x):
        flat = _flatten(x, self._shape)
        if flat is None:
            return False
        is_bool = self._dtype_name == "bool"
        integral = is_bool or self._dtype_name in _INT_RANGES
        for value, lo, hi in zip(flat, self._low, self._high):
            if is_bool and isinstance(value, bool):
                value = int(value)
            elif not _is_number(value):
                return False
            if integral and float(value) != math.floor(float(value)):
                return False
            if not lo <= value <= hi:
                return False
        return True

    def __eq__(self, other):
        return (isinstance(other, Box) and other._shape == self._shape
                and other._dtype_name == self._dtype_name and other._low == self._low
                and other._high == self._high)

    def __repr__(self):
        low = self._low[0] if len(set(self._low)) == 1 else "[...]"
        high = self._high[0] if len(set(self._high)) == 1 else "[...]"
        return f"Box({low}, {high}, {self._shape}, {self._dtype_name})"


def _array_shape(value):
    """The shape of nested sequences or an array; () for a number."""
    if np is not None and isinstance(value, np.ndarray):
        return value.shape
    shape = []
    while isinstance(value, (list, tuple)):
        shape.append(len(value))
        if not value:
            break
        value = value[0]
    return tuple(shape)


class Discrete(Space):
    """One integer from `start` to `start + n - 1`."""

    def __init__(self, n, seed=None, start=0):
        if not _is_integer(n) or n < 1:
            raise ValueError(f"a Discrete space needs n of at least 1, not {n!r}")
        if not _is_integer(start):
            raise ValueError(f"a Discrete space's start must be an integer, not {start!r}")
        super().__init__((), "int64", seed)
        self.n = int(n)
        self.start = int(start)

    def sample(self):
        value = self.start + self._random.randrange(self.n)
        return np.int64(value) if np is not None else value

    def contains(self, x):
        if np is not None and isinstance(x, np.ndarray) and x.shape == ():
            x = x.item()
        return _is_integer(x) and self.start <= x < self.start + self.n

    def __eq__(self, other):
        return isinstance(other, Discrete) and (other.n, other.start) == (self.n, self.start)

    def __repr__(self):
        start = f", start={self.start}" if self.start else ""
        return f"Discrete({self.n}{start})"


class MultiDiscrete(Space):
    """An array of integers, element i from start[i] to start[i] + nvec[i] - 1."""

    def __init__(self, nvec, dtype="int64", seed=None, start=None):
        shape = _array_shape(nvec)
        flat = _flatten(nvec, shape)
        if flat is None or not flat or not all(_is_integer(n) and n >= 1 for n in flat):
            raise ValueError("a MultiDiscrete space needs nvec of integers of at least 1")
        super().__init__(shape, dtype, seed)
        self._nvec = [int(n) for n in flat]
        starts = [0] * len(flat) if start is None else _flatten(start, shape)
        if starts is None or not all(_is_integer(s) for s in starts):
            raise ValueError("a MultiDiscrete space's start must match nvec")
        self._start = [int(s) for s in starts]

    @property
    def nvec(self):
        return self._array(self._nvec, self.dtype)

    @property
    def start(self):
        return self._array(self._start, self.dtype)

    def sample(self):
        values = [s + self._random.randrange(n) for n, s in zip(self._nvec, self._start)]
        return self._array(values, self.dtype)

    def contains(self, x):
        flat = _flatten(x, self._shape)
        return flat is not None and all(
            _is_integer(v) and s <= v < s + n for v, n, s in zip(flat, self._nvec, self._start))

    def __eq__(self, other):
        return (isinstance(other, MultiDiscrete) and other._shape == self._shape
                and other._nvec == self._nvec and other._start == self._start)

    def __repr__(self):
        return f"MultiDiscrete({_nest(self._nvec, self._shape)})"


class MultiBinary(Space):
    """An array of zeros and ones; `n` is a length or a shape."""

    def __init__(self, n, seed=None):
        shape = _shape_of(n)
        super().__init__(shape, "int8", seed)
        self.n = shape[0] if len(shape) == 1 else shape

    def sample(self):
        return self._array([self._random.randint(0, 1) for _ in range(_count(self._shape))],
                           self.dtype)

    def contains(self, x):
        flat = _flatten(x, self._shape)
        return flat is not None and all(_is_integer(v) and v in (0, 1) for v in flat)

    def __eq__(self, other):
        return isinstance(other, MultiBinary) and other._shape == self._shape

    def __repr__(self):
        return f"MultiBinary({self.n})"


class Dict(Space):
    """A mapping of texts to spaces; values are dicts with the same keys, in order."""

    def __init__(self, spaces, seed=None):
        spaces = OrderedDict(spaces)
        if not all(isinstance(s, Space) for s in spaces.values()):
            raise ValueError("a Dict space holds spaces only")
        super().__init__(None, None, seed)
        self.spaces = spaces

    def seed(self, seed=None):
        self._random.seed(seed)
        return [s.seed(self._random.getrandbits(32) if seed is not None else None)
                for s in self.spaces.values()]

    def sample(self):
        return {key: space.sample() for key, space in self.spaces.items()}

    def contains(self, x):
        return (isinstance(x, dict) and x.keys() == self.spaces.keys()
                and all(space.contains(x[key]) for key, space in self.spaces.items()))

    def __getitem__(self, key):
        return self.spaces[key]

    def keys(self):
        return self.spaces.keys()

    def __iter__(self):
        return iter(self.spaces)

    def __len__(self):
        return len(self.spaces)

    def __eq__(self, other):
        return isinstance(other, Dict) and list(other.spaces.items()) == list(self.spaces.items())

    def __repr__(self):
        return "Dict(" + ", ".join(f"{k!r}: {s!r}" for k, s in self.spaces.items()) + ")"


class Tuple(Space):
    """A fixed sequence of spaces; values are tuples with one value per space."""

    def __init__(self, spaces, seed=None):
        spaces = tuple(spaces)
        if not all(isinstance(s, Space) for s in spaces):
            raise ValueError("a Tuple space holds spaces only")
        super().__init__(None, None, seed)
        self.spaces = spaces

    def seed(self, seed=None):
        self._random.seed(seed)
        return [s.seed(self._random.getrandbits(32) if seed is not None else None)
                for s in self.spaces]

    def sample(self):
        return tuple(space.sample() for space in self.spaces)

    def contains(self, x):
        if np is not None and isinstance(x, np.ndarray):
            x = tuple(x)
        return (isinstance(x, (tuple, list)) and len(x) == len(self.spaces)
                and all(space.contains(v) for space, v in zip(self.spaces, x)))

    def __getitem__(self, index):
        return self.spaces[index]

    def __len__(self):
        return len(self.spaces)

    def __eq__(self, other):
        return isinstance(other, Tuple) and other.spaces == self.spaces

    def __repr__(self):
        return "Tuple(" + ", ".join(repr(s) for s in self.spaces) + ")"


def batch_space(space, n):
    """The space of `n` values of `space` side by side, as a vector of environments
    returns them: arrays gain a leading axis of length n."""
    if isinstance(space, Box):
        shape = (n,) + space.shape
        return Box(_nest(space._low * n, shape), _nest(space._high * n, shape), shape,
                   space._dtype_name)
    if isinstance(space, Discrete):
        return MultiDiscrete([space.n] * n, start=[space.start] * n)
    if isinstance(space, MultiDiscrete):
        shape = (n,) + space.shape
        return MultiDiscrete(_nest(space._nvec * n, shape), start=_nest(space._start * n, shape))
    if isinstance(space, MultiBinary):
        return MultiBinary((n,) + space.shape)
    if isinstance(space, Dict):
        return Dict(OrderedDict((k, batch_space(s, n)) for k, s in space.spaces.items()))
    if isinstance(space, Tuple):
        return Tuple(batch_space(s, n) for s in space.spaces)
    raise TypeError(f"cannot batch a {type(space).__name__}")
