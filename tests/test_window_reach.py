"""_window_reach: the reach the tile halos of the Python layer are cut by, and its arguments converted and their
errors worded as connectivity converts and words them."""
import inspect

import pytest

import quillet
from test_connectivity_args import valid_arguments

VALID = dict(levels=[1, 2], window_size=3, outer_window=5)


@pytest.mark.parametrize("levels, window_size, outer_window, reach", [
    ([1, 2, 4], 3, 7, 28),  # the outer window on the coarsest level
    ((4, 1, 2), 3, 7, 28),  # in any order, from any sequence
    ([1, 2], 5, 3, 10),  # an outer window smaller than the window gives way to it
    ([1, 2], 5, 5, 10),
    ([1], 3, 9, 9),
    ([1, 2, 4, 8], 32767, 32767, 262136),
    ([2**20], 2**31 - 1, 1, (2**31 - 1) * 2**20),  # in 64 bits
])
def test_the_reach_is_the_outer_width_times_the_coarsest_level(levels, window_size, outer_window, reach):
    assert quillet._window_reach(levels, window_size, outer_window) == reach
    assert quillet._window_reach(outer_window=outer_window, levels=levels, window_size=window_size) == reach


def test_it_is_private_and_says_its_signature():
    assert "_window_reach" not in quillet.__all__
    assert str(inspect.signature(quillet._window_reach)) == "(levels, window_size, outer_window)"
    assert quillet._window_reach.__doc__.startswith("Base cells that a source's windows reach")


@pytest.mark.parametrize("argument, value", [
    ("levels", "124"),
    ("levels", 4),
    ("levels", [1, -2]),
    ("levels", [1, 2.0]),
    ("levels", [1, 2**64]),
    ("window_size", 2**31),
    ("window_size", 3.0),
    ("outer_window", None),
    ("outer_window", "7"),
])
def test_a_wrong_argument_fails_as_in_connectivity(argument, value):
    with pytest.raises(BaseException) as reach_error:
        quillet._window_reach(**{**VALID, argument: value})
    with pytest.raises(BaseException) as connectivity_error:
        quillet.connectivity(**valid_arguments(**{**VALID, argument: value}))
    assert type(reach_error.value) is type(connectivity_error.value)
    assert str(reach_error.value) == str(connectivity_error.value)


@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, "_window_reach() missing 3 required positional arguments: 'levels', 'window_size', and 'outer_window'"),
    (([1], 3), {}, "_window_reach() missing 1 required positional argument: 'outer_window'"),
    (([1], 3, 5), {"halo": 1}, "_window_reach() got an unexpected keyword argument 'halo'"),
])
def test_binding_errors_name_the_function(args, kwargs, text):
    with pytest.raises(TypeError) as error:
        quillet._window_reach(*args, **kwargs)
    assert str(error.value) == text
