"""The options classes, made from the C++ field lists: every field an attribute, a keyword and a range."""

import re

import pytest

import zemb

OPTIONS = [cls for cls in vars(zemb).values() if isinstance(cls, type) and hasattr(cls, "as_dict")]


def number_fields(cls):
    """(name, a value in range other than the default, the highest) of each number field, its range as the
    attribute's doc gives it ("int, 16 to 8192")."""
    for name, default in cls().as_dict().items():
        match = re.fullmatch(r"(int|float), (\S+) to (\S+)", getattr(cls, name).__doc__)
        if match:
            low, high = (int(end) if match[1] == "int" else float(end) for end in match.group(2, 3))
            yield name, low if default == high else high, high


@pytest.mark.parametrize("cls", OPTIONS, ids=lambda cls: cls.__name__)
def test_every_field_is_an_attribute_of_its_own_and_checked(cls):
    defaults = cls().as_dict()
    assert cls(**defaults) == cls() and eval(repr(cls()), vars(zemb)) == cls()
    for name, value, high in number_fields(cls):
        options = cls(**{name: value})
        assert options.as_dict() == {**defaults, name: value}  # this field moved, and no other
        assert options != cls() and eval(repr(options), vars(zemb)) == options
        setattr(options, name, 2 * high + 1)
        with pytest.raises(ValueError, match=f"{cls.__name__}::{name} is"):
            options.check()


def test_nested_options_are_read_by_reference_and_set_from_instances_or_dicts():
    options = zemb.SweepOptions(scene=zemb.Scene.FLAT, tracking={"min_inliers": 20})
    assert options.tracking == zemb.TrackingOptions(min_inliers=20) and options.scene == zemb.Scene.FLAT
    assert zemb.SweepOptions(**options.as_dict()) == options
    options.tracking.flow.window = 200
    with pytest.raises(ValueError, match="FlowOptions::window"):
        options.check()
    with pytest.raises(ValueError, match="FlowOptions::window"):
        zemb.Sweep(options=options)
    options.render = zemb.RenderOptions(blending=zemb.Blending.FEATHER)
    assert options.as_dict()["render"]["blending"] == zemb.Blending.FEATHER
    with pytest.raises(ValueError, match="RecoveryOptions::points"):  # a limit joining two components
        zemb.SweepOptions(recovery={"points": 10}, tracking={"min_inliers": 15}).check()


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
    assert zemb.FlowOptions() != "FlowOptions()" and zemb.FlowOptions() != zemb.FitOptions()
    with pytest.raises(TypeError):
        hash(zemb.FlowOptions())
