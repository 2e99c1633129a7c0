"""JSON from outside, read with a nesting limit checked before the (recursive) parser
runs, and JSON to send, built from a caller's values with the same limit."""

import json
import math
import re

MAX_DEPTH = 64

_STRINGS = re.compile(rb'"[^"]*"')
_NOT_STRUCTURE = bytes(c for c in range(256) if c not in b'[]{}"')
_ONE_KIND = bytes.maketrans(b"{}", b"[]")  # nesting is nesting, whichever the bracket


def too_deep(text, limit=MAX_DEPTH):
    """Whether `text` nests arrays and objects deeper than `limit`. Text that is not
    JSON may pass: the parser rejects it then."""
    if text.count("[") + text.count("{") <= limit:
        return False  # not enough brackets to nest that deep (the common case, quickly)
    # Escaped backslashes and quotes out, then all but brackets and quotes, then the
    # strings: what is left is the nesting alone.
    skeleton = text.replace("\\\\", "").replace('\\"', "").encode("utf-8", "ignore")
    skeleton = _STRINGS.sub(b"", skeleton.translate(_ONE_KIND, _NOT_STRUCTURE))
    # Each round takes the innermost level away: anything left after `limit` rounds
    # is nested deeper (or malformed, which the parser refuses anyway).
    for _ in range(limit):
        shorter = skeleton.replace(b"[]", b"")
        if shorter == skeleton:
            break
        skeleton = shorter
    return bool(skeleton)


def loads(text):
    """Parses JSON text from outside; raises ValueError when it is not JSON or nests
    deeper than MAX_DEPTH."""
    if too_deep(text):
        raise ValueError(f"JSON nested deeper than {MAX_DEPTH} levels")
    try:
        return json.loads(text)
    except RecursionError:
        raise ValueError("JSON nested too deeply") from None


def plain(value, depth=0):
    """`value` as plain JSON values: numpy arrays and scalars become lists and numbers,
    tuples lists, mapping keys texts. Raises TypeError for what JSON cannot carry
    (including infinite and NaN numbers) and ValueError beyond MAX_DEPTH."""
    if depth > MAX_DEPTH:
        raise ValueError(f"a value nested deeper than {MAX_DEPTH} levels")
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise TypeError(f"JSON has no {value}: numbers sent must be finite")
        return value
    if isinstance(value, dict):
        out = {}
        for key, item in value.items():
            if not isinstance(key, str):
                raise TypeError(f"mapping keys must be texts, not {type(key).__name__}")
            out[key] = plain(item, depth + 1)
        return out
    if isinstance(value, (list, tuple)):
        return [plain(item, depth + 1) for item in value]
    dtype = getattr(value, "dtype", None)  # numpy arrays and scalars
    if dtype is not None and hasattr(value, "tolist"):
        if dtype.kind == "O":
            return plain(value.tolist(), depth)
        # Numbers and booleans only: `dumps` refuses the non-finite ones.
        return value.tolist()
    raise TypeError(f"cannot send a {type(value).__name__} as JSON")


def dumps(value):
    """Compact JSON text of plain values (see `plain`); TypeError for a number that is
    not finite."""
    try:
        return json.dumps(value, separators=(",", ":"), allow_nan=False)
    except ValueError:
        raise TypeError("JSON has no infinity or NaN: numbers sent must be finite") from None
