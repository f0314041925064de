"""Checks of the plain arguments every function of the layer takes (integers, real numbers, fractions, lists, a
choice among names), each refusal one line naming the argument, and how a value is shown in such a line.

The rules of one computation's parameters (connectivity's levels and windows, the statistics of a summary) live with
that computation and are built from these.
"""
import math
import numbers
import operator

import numpy as np

from .errors import ArgumentError, ArgumentTypeError

LARGEST_TILE = 2**20  # cells per side of a tile: far beyond what one task should hold


def shown(value, limit=60):
    """A value as one short line for a message: long lists and arrays are cut."""
    if isinstance(value, np.ndarray):
        value = value.tolist() if value.size <= 16 else f"array of shape {value.shape}"
    text = " ".join(repr(value).split())
    return text if len(text) <= limit else text[:limit - 3] + "..."


def integer(argument, value, *, minimum, maximum=None):
    """An int from an int-like value (not a bool, not a float), within the bounds."""
    if isinstance(value, (bool, np.bool_)):
        raise ArgumentTypeError(argument, f"expected an integer, got {shown(value)}")
    try:
        number = operator.index(value)
    except TypeError:
        raise ArgumentTypeError(argument, f"expected an integer, got {shown(value)}") from None
    if number < minimum or (maximum is not None and number > maximum):
        bound = f"at least {minimum}" if maximum is None else f"between {minimum} and {maximum}"
        raise ArgumentError(argument, f"{number} is not {bound}")
    return number


def real(argument, value):
    """A float from a real number (not a bool, not a string); NaN and infinities are refused."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise ArgumentTypeError(argument, f"expected a number, got {shown(value)}")
    number = float(value)
    if not math.isfinite(number) or abs(number) > float(np.finfo(np.float32).max):
        raise ArgumentError(argument, f"{shown(value)} is not a finite number")
    return number


def fraction(argument, value, *, zero_allowed=True):
    """A number in [0, 1], or in (0, 1] when zero is not allowed."""
    number = real(argument, value)
    if not (0 <= number <= 1) or (number == 0 and not zero_allowed):
        raise ArgumentError(argument, f"{shown(value)} is not in {'[' if zero_allowed else '('}0, 1]")
    return number


def sequence(argument, value, example):
    """The items of a list-like value (not a string), at least one; `example` shows what is expected."""
    if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
        raise ArgumentTypeError(argument, f"expected a list such as {example}, got {shown(value)}")
    items = list(value)
    if not items:
        raise ArgumentError(argument, f"is empty; give at least one value, such as {example}")
    return items


def either(names):
    """The names as a choice in a message: 'circular' or 'square'."""
    quoted = [repr(name) for name in names]
    return " or ".join(quoted) if len(quoted) < 3 else ", ".join(quoted[:-1]) + " or " + quoted[-1]


def choice(argument, value, names):
    """One of `names`, given in any case and with white space around it."""
    if not isinstance(value, str):
        raise ArgumentTypeError(argument, f"expected {either(names)}, got {shown(value)}")
    name = value.strip().lower()
    if name not in names:
        raise ArgumentError(argument, f"{shown(value)} is neither {' nor '.join(map(repr, names))}"
                            if len(names) == 2 else f"{shown(value)} is not {either(names)}")
    return name
