"""The optional packages: numpy (observations become arrays) and gymnasium (its spaces
and base classes are used). Each is None when it is not installed."""

try:
    import numpy as np
except ImportError:
    np = None

try:
    import gymnasium
except ImportError:
    gymnasium = None
