"""Argument binding of both functions: the interpreter-style TypeError texts."""
import numpy as np
import pytest

import quillet

SQUARE = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], float)
COVERAGE_ARGS = ([(SQUARE, [])], (1, 0, 0, 0, 1, 0), (2, 2))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: quillet.pixel_coverage(), "pixel_coverage() missing 3 required positional arguments: 'polygons', 'transform', and 'shape'"),
        (lambda: quillet.pixel_coverage([]), "pixel_coverage() missing 2 required positional arguments: 'transform' and 'shape'"),
        (lambda: quillet.pixel_coverage([], (1,) * 6), "pixel_coverage() missing 1 required positional argument: 'shape'"),
        (lambda: quillet.pixel_coverage(*COVERAGE_ARGS, 1, 2), "pixel_coverage() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: quillet.pixel_coverage(*COVERAGE_ARGS, colour=1), "pixel_coverage() got an unexpected keyword argument 'colour'"),
        (lambda: quillet.pixel_coverage(*COVERAGE_ARGS, shape=(1, 1)), "pixel_coverage() got multiple values for argument 'shape'"),
        (lambda: quillet.connectivity(), "connectivity() missing 11 required positional arguments: 'condition', 'mask', "
         "'transgrid_list', 'transforms', 'levels', 'lambdas', 'is_geo', 'max_cost', 'window_size', 'outer_window', and 'offsets'"),
        (lambda: quillet.connectivity(*range(16)), "connectivity() takes from 11 to 15 positional arguments but 16 were given"),
        (lambda: quillet.connectivity(*range(11), condition=1), "connectivity() got multiple values for argument 'condition'"),
        (lambda: quillet.connectivity(*range(10)), "connectivity() missing 1 required positional argument: 'offsets'"),
        (lambda: quillet.connectivity(*range(11), traverse=None), "connectivity() got an unexpected keyword argument 'traverse'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_like_positionals():
    by_position = quillet.pixel_coverage(*COVERAGE_ARGS, None)
    by_keyword = quillet.pixel_coverage(shape=(2, 2), transform=(1, 0, 0, 0, 1, 0), polygons=[(SQUARE, [])], n_threads=None)
    np.testing.assert_array_equal(by_position, by_keyword)


class Explosive:
    """An object whose integer conversion raises a TypeError chained to a cause."""

    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as cause:
            raise TypeError("cannot index") from cause


def test_argument_error_rule_keeps_the_original_cause():
    with pytest.raises(TypeError) as info:
        quillet.pixel_coverage([], (1,) * 6, (Explosive(), 1))
    assert str(info.value) == "argument 'shape': cannot index"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"transform": [1] * 6}, TypeError, "argument 'transform': 'list' object is not an instance of 'tuple'"),
        ({"transform": (1,) * 5}, ValueError, "expected tuple of length 6, but got tuple of length 5"),
        ({"transform": (1, 0, 0, 0, 1, "x")}, TypeError, "argument 'transform': must be real number, not str"),
        ({"shape": [2, 2]}, TypeError, "argument 'shape': 'list' object is not an instance of 'tuple'"),
        ({"shape": (2, 2, 2)}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ({"shape": (2, -1)}, OverflowError, "can't convert negative int to unsigned"),
        ({"shape": (2, 2.0)}, TypeError, "argument 'shape': 'float' object cannot be interpreted as an integer"),
        ({"shape": (2, 2**64)}, OverflowError, "int too big to convert"),
        ({"n_threads": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"n_threads": "2"}, TypeError, "argument 'n_threads': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_pixel_coverage_conversion_errors(kwargs, error, message):
    # `polygons` is malformed too: the scalar arguments are converted first.
    arguments = {"polygons": "not a list", "transform": (1, 0, 0, 0, 1, 0), "shape": (2, 2), **kwargs}
    with pytest.raises(error) as info:
        quillet.pixel_coverage(**arguments)
    assert type(info.value) is error
    assert str(info.value) == message
