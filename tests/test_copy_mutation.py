"""The native deep copy when a foreign object's __deepcopy__ changes what is being copied: the
copy stays a valid, independent object whatever the callback does."""
import copy

import pytest

from QorvelAPI.plugins import PluginBlock


class Meddler:
    def __init__(self, action):
        self.action = action

    def __deepcopy__(self, memo):
        self.action(memo)
        return "copied"


def action(block):
    pass


@pytest.mark.parametrize("change", ["shrink", "grow", "clear", "replace", "memo"])
def test_copy_survives_a_callback_changing_the_source(change):
    block = PluginBlock("B", "d", action, id="b")
    items, table = [0, None, [1], {"k": [2]}], {"a": [1], "b": {"c": 2}}

    def meddle(memo):
        if change == "shrink":
            del items[1:]
        elif change == "grow":
            items.extend([[3]] * 50)
        elif change == "clear":
            items.clear(), table.clear()
        elif change == "replace":
            items[:] = [{"new": [4]}] * 3
            table["b"] = [5]
        else:
            for value in list(memo.values()):  # the copies in progress are valid objects
                repr(value)
            memo.clear()

    items.insert(1, Meddler(meddle))
    block.extraData = {"items": items, "table": table, "again": items}
    copied = block.copy()
    data = copied.extraData
    assert data["again"] is data["items"] and data["items"] is not items
    repr(data), copy.deepcopy(data)
    assert all(value is not items and value is not table for value in data.values())
