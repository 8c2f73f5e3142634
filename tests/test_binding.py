"""Argument matching, conversion failures and their exact messages."""

import numpy as np
import pytest

from halyard import (
    TesselWeights,
    TrajectoryCoordinate,
    TrajectoryCoordinate5D,
    cosine_similarity,
    normalize,
    trajectory_weighted_cosine,
)

from conftest import arr

C = TrajectoryCoordinate(1, 0, 0.5, 0.5)
C5 = TrajectoryCoordinate5D(1, 0, 0.5, 0.5, 1)


def raises(call, exc_type):
    with pytest.raises(exc_type) as info:
        call()
    return info.value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: TrajectoryCoordinate(),
         "TrajectoryCoordinate.__new__() missing 4 required positional arguments: "
         "'depth', 'sibling_order', 'homogeneity', and 'temporal'"),
        (lambda: TrajectoryCoordinate(1, 2),
         "TrajectoryCoordinate.__new__() missing 2 required positional arguments: 'homogeneity' and 'temporal'"),
        (lambda: C.distance(), "TrajectoryCoordinate.distance() missing 1 required positional argument: 'other'"),
        (lambda: cosine_similarity(arr(1), arr(1), arr(1)),
         "cosine_similarity() takes 2 positional arguments but 3 were given"),
        (lambda: C.to_tuple(1), "TrajectoryCoordinate.to_tuple() takes 0 positional arguments but 1 was given"),
        (lambda: TesselWeights(1, 2, 3, 4, 5, 6),
         "TesselWeights.__new__() takes from 0 to 5 positional arguments but 6 were given"),
        (lambda: cosine_similarity(arr(1), c=arr(1)), "cosine_similarity() got an unexpected keyword argument 'c'"),
        (lambda: cosine_similarity(arr(1), a=arr(1)), "cosine_similarity() got multiple values for argument 'a'"),
        (lambda: TrajectoryCoordinate5D.from_4d(), "TrajectoryCoordinate5D.from_4d() missing 1 required positional "
                                                   "argument: 'coord'"),
    ],
)
def test_argument_matching_messages(call, message):
    assert str(raises(call, TypeError)) == message


def test_keywords_are_accepted_everywhere():
    c = TrajectoryCoordinate(depth=1, temporal=0.5, homogeneity=0.5, sibling_order=0)
    assert c.distance(other=C) == 0.0
    assert cosine_similarity(b=arr(1, 0), a=arr(2, 0)) == 1.0
    assert TrajectoryCoordinate5D.from_4d_with_complexity(coord=C, complexity=3).complexity == 3


@pytest.mark.parametrize(
    "call, message, cause",
    [
        (lambda: cosine_similarity([1.0], [1.0]),
         "argument 'a': 'list' object cannot be converted to 'PyArray<T, D>'",
         "'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: cosine_similarity(arr(1), np.ones(1)),
         "argument 'b': 'ndarray' object cannot be converted to 'PyArray<T, D>'", None),
        (lambda: normalize(np.ones((2, 2), dtype=np.float32)),
         "argument 'v': 'ndarray' object cannot be converted to 'PyArray<T, D>'", None),
        (lambda: normalize(np.ones(2, dtype=">f4")),
         "argument 'v': 'ndarray' object cannot be converted to 'PyArray<T, D>'", None),
        (lambda: C.distance(1), "argument 'other': 'int' object cannot be converted to 'TrajectoryCoordinate'", None),
        (lambda: C.distance(C5),
         "argument 'other': 'TrajectoryCoordinate5D' object cannot be converted to 'TrajectoryCoordinate'", None),
        (lambda: TrajectoryCoordinate(1.5, 0, 0.0, 0.0),
         "argument 'depth': 'float' object cannot be interpreted as an integer", None),
        (lambda: TrajectoryCoordinate(1, 0, "x", 0.0), "argument 'homogeneity': must be real number, not str", None),
        (lambda: C.weighted_distance(C, [1, 1, 1, 1]),
         "argument 'weights': 'list' object cannot be converted to 'PyTuple'", None),
        (lambda: C.weighted_distance(C, (1, 1, 1, "x")), "argument 'weights': must be real number, not str", None),
        (lambda: trajectory_weighted_cosine(arr(1), arr(1), C, C, None),
         "argument 'coord_weight': must be real number, not NoneType", None),
    ],
)
def test_conversion_type_errors_name_the_argument_and_chain_the_cause(call, message, cause):
    error = raises(call, TypeError)
    assert str(error) == message
    assert isinstance(error.__cause__, TypeError)
    assert str(error) == "argument '" + message.split("'")[1] + "': " + str(error.__cause__)
    if cause is not None:
        assert str(error.__cause__) == cause


@pytest.mark.parametrize("value", [-1, 2**32, 2**64, -(2**70)])
def test_u32_out_of_range_is_overflow(value):
    error = raises(lambda: TrajectoryCoordinate(value, 0, 0.0, 0.0), OverflowError)
    assert str(error) == "out of range integral type conversion attempted"
    assert error.__cause__ is None


def test_tuple_of_wrong_length_is_a_plain_value_error():
    error = raises(lambda: C.weighted_distance(C, (1.0, 1.0, 1.0)), ValueError)
    assert str(error) == "expected tuple of length 4, but got tuple of length 3"


def test_non_contiguous_array_is_not_prefixed():
    strided = np.arange(8, dtype=np.float32)[::2]
    error = raises(lambda: cosine_similarity(strided, arr(1, 2, 3, 4)), TypeError)
    assert str(error) == "The given array is not contiguous"
    # Both arrays are converted before either is checked for contiguity.
    with pytest.raises(TypeError, match="argument 'b'"):
        cosine_similarity(strided, [1.0])


def test_index_and_float_protocols_are_honoured():
    class Index:
        def __index__(self):
            return 3

    class Real:
        def __float__(self):
            return 0.25

    c = TrajectoryCoordinate(Index(), True, Real(), np.float32(0.5))
    assert c.to_tuple() == (3, 1, 0.25, 0.5)


def test_hostile_conversion_hooks_surface_as_exceptions():
    class Boom:
        def __index__(self):
            raise KeyError("index")

        def __float__(self):
            raise KeyError("float")

    with pytest.raises(KeyError):
        TrajectoryCoordinate(Boom(), 0, 0.0, 0.0)
    with pytest.raises(KeyError):
        TrajectoryCoordinate(0, 0, Boom(), 0.0)


def test_attributes_are_read_only():
    with pytest.raises(AttributeError):
        C.depth = 3
    with pytest.raises(AttributeError):
        TesselWeights().depth = 1.0
    assert C.depth == 1


def test_objects_compare_by_identity_and_hash_by_identity():
    a, b = TrajectoryCoordinate(1, 0, 0.5, 0.5), TrajectoryCoordinate(1, 0, 0.5, 0.5)
    assert a != b and a == a
    assert len({a, b}) == 2


def test_docstrings_carry_text_signatures():
    assert TrajectoryCoordinate.__text_signature__ == "(depth, sibling_order, homogeneity, temporal)"
    assert TrajectoryCoordinate.__doc__.startswith("4D Trajectory Coordinate for episode positioning.")
    assert TrajectoryCoordinate.distance.__text_signature__ == "($self, other)"
    assert TrajectoryCoordinate.distance.__doc__ == "Euclidean distance to another coordinate."
    assert TrajectoryCoordinate.root.__text_signature__ == "()"
    assert cosine_similarity.__text_signature__ == "(a, b)"
    assert cosine_similarity.__doc__ == "Compute cosine similarity between two vectors."


class CallsBack:
    """A number whose conversion re-enters the object under test."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0


def test_shared_borrows_coexist():
    from halyard import OutcomeStats

    stats = OutcomeStats()
    stats.update_scalar(2.0)
    assert stats.merge(stats).count == 2  # receiver and argument both borrowed shared


def test_exclusive_borrow_is_taken_before_arguments_are_converted():
    from halyard import OutcomeStats

    stats = OutcomeStats()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        stats.update_scalar(CallsBack(lambda: stats.count))
    assert stats.count == 0
    stats.update_scalar(1.0)  # the borrow was released on the failure path
    assert stats.count == 1


def test_conflicting_exclusive_borrow_fails_at_once():
    from halyard import OutcomeStats

    stats = OutcomeStats()
    stats.update_scalar(1.0)
    stats.update_scalar(3.0)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        stats.confidence_interval(CallsBack(lambda: stats.update_scalar(5.0)))
    assert stats.count == 2
    assert stats.confidence_interval(0.95) is not None


def test_classes_without_constructor():
    from halyard import CacheStats, SearchResult

    for cls in (SearchResult, CacheStats):
        with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
            cls()
