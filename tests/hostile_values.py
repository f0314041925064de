"""Hostile values for the generated-argument tests: objects whose length, iteration or conversion raises or lies,
extreme numbers, and sequences of them."""

import numpy as np
from hypothesis import strategies as st


class Hostile(Exception):
    """Raised by the generated objects themselves; it must come back to the caller unchanged."""


class RaisingLength(list):
    def __len__(self):
        raise Hostile("__len__")


class LyingLength(list):
    """Claims more items than it holds; reading past the real end raises the list's own IndexError."""

    def __init__(self, items, claimed):
        super().__init__(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed


class RaisingIter(list):
    def __iter__(self):
        raise Hostile("__iter__")


class Converts:
    """Returns `value` from its one conversion method, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def convert(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Index(Converts):
    __index__ = Converts.convert


class Float(Converts):
    __float__ = Converts.convert


class Items(dict):
    """A transforms mapping whose items() raises or yields something that is not a pair iterator."""

    def __init__(self, mapping, items):
        super().__init__(mapping)
        self._items = items

    def items(self):
        if isinstance(self._items, Exception):
            raise self._items
        return self._items


EXTREME_FLOATS = [0.0, -0.0, 0.5, 1.0, -1.0, np.nan, np.inf, -np.inf, 5e-324, 1e-310, 1e308, -1e308, 3.4e38, 1e39]
EXTREME_INTS = [0, 1, 2, 3, 4, 5, 7, 8, 64, -1, -3, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32 - 1, 2**32,
                2**63, 2**64 - 1, 2**64, 2**80]

extreme_floats = st.one_of(st.sampled_from(EXTREME_FLOATS), st.floats(width=32))
extreme_ints = st.one_of(st.sampled_from(EXTREME_INTS), st.integers(-10, 10))


def lying_numbers(numbers):
    """Numbers themselves, or objects converting to them (or raising) through __index__ / __float__."""
    return st.one_of(
        numbers,
        numbers.map(Index),
        numbers.map(Float),
        st.sampled_from([Hostile("number"), ZeroDivisionError("number"), "text", None]).map(
            lambda v: Index(v) if isinstance(v, Exception) else v
        ),
        st.sampled_from([Float(Hostile("number")), Float("not a float"), Index(2.5), np.float64(np.nan), np.int8(-1)]),
    )


def sequences(items, max_size=5):
    """Lists, tuples and arrays of `items`, and sequences whose __len__ or __iter__ raise or lie."""
    lists = st.lists(items, max_size=max_size)
    return st.one_of(
        lists,
        lists.map(tuple),
        lists.map(RaisingLength),
        lists.map(RaisingIter),
        st.tuples(lists, st.sampled_from([0, 1, 7, 2**20, 2**62])).map(lambda p: LyingLength(*p)),
        st.sampled_from(["12", b"12", {1, 2}, 3, None, np.zeros((2, 2))]),
    )
