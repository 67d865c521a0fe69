"""The options classes, made from the C++ field lists: every field an attribute, a keyword, a range and a
docstring."""

import re

import pytest

import zemb

OPTIONS = [cls for cls in vars(zemb).values() if isinstance(cls, type) and hasattr(cls, "as_dict")]


def number_fields(cls):
    """(name, a value in range other than the default, the highest) of each number field, its range as the
    attribute's doc gives it ("int, 16 to 8192. What it does.")."""
    for name, default in cls().as_dict().items():
        match = re.match(r"(int|float), (\S+) to (\S+)\. ", getattr(cls, name).__doc__)
        if match:
            low, high = (int(end) if match[1] == "int" else float(end) for end in match.group(2, 3))
            yield name, low if default == high else high, high


@pytest.mark.parametrize("cls", OPTIONS, ids=lambda cls: cls.__name__)
def test_every_field_is_an_attribute_of_its_own_that_refuses_values_out_of_range(cls):
    defaults = cls().as_dict()
    assert cls(**defaults) == cls() and eval(repr(cls()), vars(zemb)) == cls()
    numbers = list(number_fields(cls))
    # the others have numbers, whose docs give their range
    assert numbers or cls in (zemb.SweepOptions, zemb.PhotoSetOptions)
    for name, value, high in numbers:
        options = cls(**{name: value})
        assert options.as_dict() == {**defaults, name: value}  # this field moved, and no other
        assert options != cls() and eval(repr(options), vars(zemb)) == options
        for outside in (2 * high + 1, float("nan")) if isinstance(high, float) else (2 * high + 1,):
            with pytest.raises(ValueError, match=f"{cls.__name__}::{name} is"):
                setattr(options, name, outside)
        assert getattr(options, name) == value  # a refused value leaves the field as it was
        with pytest.raises(ValueError, match=f"{cls.__name__}::{name} is"):
            cls(**{name: 2 * high + 1})


@pytest.mark.parametrize("cls", OPTIONS, ids=lambda cls: cls.__name__)
def test_every_class_and_field_says_what_it_is_for(cls):
    summary = cls.__doc__.split("\n\n")[0]
    assert len(summary) > 20 and summary.endswith("."), cls.__name__
    for name in cls().as_dict():
        doc = getattr(cls, name).__doc__
        kind, _, description = doc.partition(". ")
        assert kind.split(",")[0].split(" ")[0] == type(getattr(cls(), name)).__name__, doc
        assert len(description) > 10 and description.endswith("."), f"{cls.__name__}.{name}: {doc}"


def test_nested_options_are_read_by_reference_and_set_from_instances_or_dicts():
    options = zemb.SweepOptions(scene=zemb.Scene.FLAT, tracking={"min_inliers": 20})
    assert options.tracking == zemb.TrackingOptions(min_inliers=20) and options.scene == zemb.Scene.FLAT
    assert zemb.SweepOptions(**options.as_dict()) == options
    options.tracking.flow.window = 9
    assert options.as_dict()["tracking"]["flow"]["window"] == 9
    with pytest.raises(ValueError, match="FlowOptions::window"):
        options.tracking.flow.window = 200
    with pytest.raises(ValueError, match="FlowOptions::window"):
        zemb.SweepOptions(tracking={"flow": {"window": 200}})
    options.render = zemb.RenderOptions(blending=zemb.Blending.FEATHER)
    assert options.as_dict()["render"]["blending"] == zemb.Blending.FEATHER
    joined = zemb.SweepOptions(recovery={"points": 10}, tracking={"min_inliers": 15})  # each in its range
    with pytest.raises(ValueError, match="RecoveryOptions::points"):  # a limit joining two components
        joined.check()
    with pytest.raises(ValueError, match="RecoveryOptions::points"):
        zemb.Sweep(options=joined)


def test_keywords_and_values_of_the_wrong_kind_are_refused():
    for fields in ({"fast": 3}, {"tracking": {"window": 3}}):
        with pytest.raises(TypeError, match="has no field"):
            zemb.SweepOptions(**fields)
    for fields in ({"scene": 1}, {"tracking": 3}, {"render": zemb.FlowOptions()}, {"memory": {"budget_bytes": -1}},
                   {"preparation": {"working_columns": "wide"}}, {"preparation": {"working_columns": 5.5}}):
        with pytest.raises(TypeError):
            zemb.SweepOptions(**fields)
    with pytest.raises(TypeError):
        zemb.FlowOptions(5)
    assert zemb.RecoveryOptions(match_ratio=0.3).match_ratio == 0.3  # a float field reads back as written
    assert zemb.RecoveryOptions(match_ratio=1.0).match_ratio == 1.0  # and takes its own ends
    assert zemb.FlowOptions() != "FlowOptions()" and zemb.FlowOptions() != zemb.FitOptions()
    with pytest.raises(TypeError):
        hash(zemb.FlowOptions())
