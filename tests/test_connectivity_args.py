"""connectivity: conversion of its fifteen arguments, reading order and driver checks."""
import numpy as np
import pytest

import quillet
from conftest import assert_calls_release_everything


def valid_arguments(nrows=6, ncols=5, **overrides):
    arguments = dict(
        condition=np.full((nrows, ncols), 0.5, np.float32),
        mask=np.zeros((nrows, ncols), bool),
        transgrid_list=None,
        transforms={1: (100.0, 0.0, 0.0, 0.0, -100.0, 0.0), 2: (200.0, 0.0, 0.0, 0.0, -200.0, 0.0)},
        levels=[1, 2],
        lambdas=[2.0, 20.0],
        is_geo=False,
        max_cost=0.5,
        window_size=3,
        outer_window=5,
        offsets=(0, 0),
    )
    arguments.update(overrides)
    return arguments


def call(**overrides):
    return quillet.connectivity(**valid_arguments(**overrides))


def raised(**overrides):
    with pytest.raises(BaseException) as info:
        call(**overrides)
    return type(info.value), str(info.value)


def test_valid_call_returns_float32_of_the_condition_shape():
    result = call()
    assert result.dtype == np.float32 and result.shape == (6, 5) and result.flags.c_contiguous


class Float:
    def __float__(self):
        return 0.25


class Index:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "overrides",
    [
        {"levels": (1, 2)},
        {"levels": np.array([1, 2])},
        {"levels": np.array([1, 2], dtype=np.uint8)},
        {"lambdas": (2, np.float32(20.0))},
        {"lambdas": np.array([2.0, 20.0])},
        {"is_geo": np.bool_(False), "pa_to_pa": np.False_},
        {"max_cost": Float()},
        {"window_size": Index(), "outer_window": np.int64(5)},
        {"transforms": {1: (100, 0, 0, 0, -100, 0), 2: (200, 0, 0, 0, -200, 0)}},
        {"window_mode": "  SQUARE\n"},
        {"window_mode": "\u3000Circular\u2029"},
        {"transgrid_list": []},
        {"transgrid_list": [None, None]},
        {"n_threads": 0},
        {"traversal": None},
    ],
)
def test_accepted_argument_forms(overrides):
    assert call(**overrides).shape == (6, 5)


@pytest.mark.parametrize(
    "overrides, error, message",
    [
        ({"levels": "124"}, TypeError, "argument 'levels': a string cannot be taken as a list of numbers"),
        ({"levels": 1}, TypeError, "argument 'levels': 'int' object is not an instance of 'Sequence'"),
        ({"levels": [1, -2]}, OverflowError, "can't convert negative int to unsigned"),
        ({"levels": [1, 2.0]}, TypeError, "argument 'levels': 'float' object cannot be interpreted as an integer"),
        ({"lambdas": "2"}, TypeError, "argument 'lambdas': a string cannot be taken as a list of numbers"),
        ({"lambdas": {2.0}}, TypeError, "argument 'lambdas': 'set' object is not an instance of 'Sequence'"),
        ({"lambdas": [2.0, "x"]}, TypeError, "argument 'lambdas': must be real number, not str"),
        ({"is_geo": 1}, TypeError, "argument 'is_geo': 'int' object is not an instance of 'bool'"),
        ({"is_geo": None}, TypeError, "argument 'is_geo': 'None' is not an instance of 'bool'"),
        ({"max_cost": "0.5"}, TypeError, "argument 'max_cost': must be real number, not str"),
        ({"window_size": 2**31}, OverflowError, "number too large to fit in target type"),
        ({"window_size": 2**80}, OverflowError, "number too large to fit in target type"),
        ({"outer_window": -(2**31) - 1}, OverflowError, "number too small to fit in target type"),
        ({"outer_window": 5.0}, TypeError, "argument 'outer_window': 'float' object cannot be interpreted as an integer"),
        ({"offsets": [0, 0]}, TypeError, "argument 'offsets': 'list' object is not an instance of 'tuple'"),
        ({"offsets": (1, 2, 3)}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ({"offsets": (0, -1)}, OverflowError, "can't convert negative int to unsigned"),
        ({"n_threads": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"window_mode": b"square"}, TypeError, "argument 'window_mode': 'bytes' object is not an instance of 'str'"),
        ({"pa_to_pa": 0}, TypeError, "argument 'pa_to_pa': 'int' object is not an instance of 'bool'"),
    ],
)
def test_conversion_errors(overrides, error, message):
    # condition is broken too: every conversion precedes the reading of condition.
    assert raised(condition=np.zeros((2, 2)), **overrides) == (error, message)


CAST_NDARRAY = "'ndarray' object is not an instance of 'ndarray'"


@pytest.mark.parametrize(
    "overrides, error, message",
    [
        ({"condition": np.zeros((6, 5))}, RuntimeError, "Reading condition failed: Failed to extract 2D array: " + CAST_NDARRAY),
        ({"condition": np.zeros((6, 5, 1), np.float32)}, RuntimeError, "Reading condition failed: Failed to extract 2D array: " + CAST_NDARRAY),
        ({"condition": [[0.5]]}, RuntimeError, "Reading condition failed: Failed to extract 2D array: 'list' object is not an instance of 'ndarray'"),
        ({"transgrid_list": (np.zeros((6, 5, 2), np.float32),)}, TypeError, "'tuple' object is not an instance of 'list'"),
        ({"transgrid_list": [np.zeros((6, 5), np.float32)]}, quillet.PanicException,
         "called a required operation that returned an error: Failed to extract 3D array: " + CAST_NDARRAY),
        ({"transforms": [(1, (1.0, 0.0, 0.0, 0.0, -1.0, 0.0))]}, RuntimeError,
         "Faild getting transform information: AttributeError: 'list' object has no attribute 'items'"),
        ({"transforms": {1: (1.0, 0.0, 0.0, 0.0, -1.0)}}, RuntimeError,
         "Faild getting transform information: ValueError: expected tuple of length 6, but got tuple of length 5"),
        ({"transforms": {1: [1.0] * 6}}, RuntimeError,
         "Faild getting transform information: TypeError: 'list' object is not an instance of 'tuple'"),
        ({"transforms": {"1": (1.0,) * 6}}, RuntimeError,
         "Faild getting transform information: TypeError: 'str' object cannot be interpreted as an integer"),
        ({"transforms": {2**40: (1.0,) * 6}}, RuntimeError,
         "Faild getting transform information: OverflowError: number too large to fit in target type"),
        ({"mask": None}, RuntimeError, "Reading mask failed: Mask must be provided!"),
        ({"mask": np.zeros((6, 5), np.uint8)}, RuntimeError, "Reading mask failed: Failed to extract mask array: " + CAST_NDARRAY),
        ({"traversal": np.zeros((6, 5), np.float64)}, RuntimeError, "Reading traversal failed: Failed to extract 2D array: " + CAST_NDARRAY),
        ({"window_mode": "squares"}, ValueError, "Invalid window_mode 'squares'. Expected 'square' or 'circular'."),
        ({"window_mode": " \t "}, ValueError, "Invalid window_mode ''. Expected 'square' or 'circular'."),
        ({"window_mode": " Ci\u0301rcular "}, ValueError, "Invalid window_mode 'ci\u0301rcular'. Expected 'square' or 'circular'."),
    ],
)
def test_reading_errors(overrides, error, message):
    assert raised(**overrides) == (error, message)


@pytest.mark.parametrize(
    "broken, expected_prefix",
    [
        ({"condition": np.zeros(3), "mask": None}, "Reading condition failed"),
        ({"transforms": [], "mask": None}, "Faild getting transform information"),
        ({"mask": None, "traversal": np.zeros(3), "window_mode": "x"}, "Reading mask failed"),
        ({"traversal": np.zeros(3), "window_mode": "x"}, "Reading traversal failed"),
    ],
)
def test_inputs_are_read_in_order(broken, expected_prefix):
    _, message = raised(**broken)
    assert message.startswith(expected_prefix)


def test_transgrid_list_type_is_checked_before_transforms():
    assert raised(transgrid_list=(), transforms=[]) == (TypeError, "'tuple' object is not an instance of 'list'")


@pytest.mark.parametrize(
    "overrides, error, message",
    [
        ({"condition": None}, RuntimeError, "Connectivity failed: No base level (key=1) in condition array"),
        ({"transforms": {2: (1.0,) * 6}}, quillet.PanicException, "Missing base-level transform (key=1)."),
        ({"levels": [1, 3]}, quillet.PanicException, "Failed average resampling.: Level 3 is not a power of 2"),
        ({"levels": [0]}, quillet.PanicException, "Failed average resampling.: Level 0 is not a power of 2"),
        ({"levels": [1, 3], "transforms": {}}, quillet.PanicException, "Failed average resampling.: Level 3 is not a power of 2"),
        ({"traversal": np.zeros((6, 4), np.float32), "levels": [1]}, RuntimeError,
         "Connectivity failed: Dimension mismatch for key 1: (6, 4) vs (6, 5)"),
        ({"transgrid_list": [np.zeros((6, 5, 0), np.float32)]}, quillet.PanicException, "chunk_size must not be zero"),
        ({"pa_to_pa": True, "mask": np.zeros((5, 5), bool)}, quillet.PanicException, "index out of range"),
        ({"levels": [1, 2**31]}, RuntimeError,
         "Connectivity failed: level factor 2147483648 is too large; level factors must be below 2^31"),
        ({"offsets": (2**31, 0)}, RuntimeError, "Connectivity failed: row offset 2147483648 with 6 cells reaches past "
         "2^31 base cells, the largest supported global grid"),
        ({"offsets": (0, 2**31 - 3)}, RuntimeError, "Connectivity failed: column offset 2147483645 with 5 cells reaches "
         "past 2^31 base cells, the largest supported global grid"),
        ({"transgrid_list": [np.zeros((6, 4, 2), np.float32)]}, RuntimeError, "Connectivity failed: transgrid layer 0 has "
         "a level-1 grid of (6, 4) cells, smaller than the condition's (6, 5)"),
    ],
)
def test_driver_errors_and_faults(overrides, error, message):
    assert raised(**overrides) == (error, message)


def test_inputs_are_never_modified():
    arguments = valid_arguments(
        traversal=np.full((6, 5), 0.25, np.float32), transgrid_list=[np.ones((6, 5, 2), np.float32)], pa_to_pa=True
    )
    snapshot = {k: v.copy() for k, v in arguments.items() if isinstance(v, np.ndarray)}
    quillet.connectivity(**arguments)
    for name, before in snapshot.items():
        np.testing.assert_array_equal(arguments[name], before)


def test_failure_paths_release_everything():
    failing = [
        {"mask": None},
        {"transforms": {2: (1.0,) * 6}},
        {"levels": [1, 3]},
        {"transgrid_list": [np.ones((6, 5, 2), np.float32), np.zeros((6, 5), np.float32)]},
        {"traversal": np.zeros((6, 4), np.float32), "levels": [1]},
        {"window_size": 4},
    ]
    assert_calls_release_everything([lambda overrides=overrides: call(**overrides) for overrides in failing])
