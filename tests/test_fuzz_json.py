"""The text form (str() of model objects, the JSON files) against json.dumps(indent=4), byte for
byte, on generated values; values json cannot write must fail with json's own error."""
import enum
import json

import pytest
from hypothesis import strategies as st

from QorvelAPI.plugins import PluginVariable, VariableTypes
from fuzzing import StrSubclass, fuzz


class DictSubclass(dict):
    pass


class ListSubclass(list):
    def __iter__(self):  # json walks subclasses through their own methods
        return iter(reversed(list.__iter__(self)))


class Level(enum.IntEnum):
    HIGH = 3


characters = st.integers(0, 0x10FFFF).map(chr)  # astral, control characters and lone surrogates
texts = st.text(characters, max_size=8) | st.sampled_from(["", "\x7f", "\ud83d\ude00", "\U0001f600"]).map(StrSubclass)
scalars = (st.none() | st.booleans() | st.integers() | st.integers(min_value=2**64, max_value=10**60) | st.floats()
           | st.sampled_from([-0.0, float("inf"), float("-inf"), float("nan"), Level.HIGH, VariableTypes.STRING])
           | texts)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.lists(inner, max_size=3).map(tuple)
                      | st.dictionaries(texts, inner, max_size=4) | st.lists(inner, max_size=3).map(ListSubclass)
                      | st.dictionaries(texts, inner, max_size=3).map(DictSubclass)
                      | st.dictionaries(st.integers() | st.none(), inner, max_size=2)
                      | st.sets(st.integers(), max_size=2), max_leaves=12)


def outcome(write):
    try:
        return write()
    except (TypeError, ValueError, RecursionError) as error:
        return type(error), str(error)


@fuzz(values)
def test_text_form_is_json_dumps(value):
    variable = PluginVariable("v", "V", "d", VariableTypes.ANY, defaultValue=value)
    assert outcome(lambda: str(variable)) == outcome(lambda: json.dumps(variable.toDict(), indent=4))


def nested(depth):
    value = []
    for level in range(depth):
        value = [1, value] if level % 2 else {"k": value}
    return value


def circular():
    value = {"a": []}
    value["a"].append(value)
    return value


@pytest.mark.parametrize("value", [nested(5), nested(150), nested(400), circular()], ids=["5", "150", "400", "cycle"])
def test_deep_and_circular_values_are_left_to_json(value):
    variable = PluginVariable("v", "V", "d", VariableTypes.ANY, defaultValue=value)
    assert outcome(lambda: str(variable)) == outcome(lambda: json.dumps(variable.toDict(), indent=4))
