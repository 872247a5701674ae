"""MolstarAPI scene operations vs a plain-Python class doing the same work, measured side by side.

Each figure is the best of several repeats of a timed loop, in nanoseconds per call; the ratio
is plain Python / C++ (above 1 means the extension is faster). The flow's queue is emptied
between repeats so that list growth does not skew the numbers.
"""
import json
import logging
import os
import timeit

from QorvelAPI.molstar import MolstarAPI
from QorvelAPI.utils import SingletonMeta


class PlainMolstarAPI(metaclass=SingletonMeta):
    """The reference: the same checks and messages written in Python."""

    _flow = None

    def _emitAction(self, action, data):
        if type(action) is not str:
            raise TypeError(f"Argument 'action' has incorrect type (expected str, got {type(action).__name__})")
        if type(data) is not dict:
            raise TypeError(f"Argument 'data' has incorrect type (expected dict, got {type(data).__name__})")
        logging.getLogger("Qorvel").debug("Mol* action %s", action)
        if self._flow is None:
            raise Exception("Could not run the MolstarAPI. No flow is currently running")
        data["savedID"] = self._flow.savedID
        self._flow.pendingActions.append(data)

    @staticmethod
    def _color(color):
        if color is None:
            return "#0000FF"
        if type(color) is not str:
            raise TypeError(f"Argument 'color' has incorrect type (expected str, got {type(color).__name__})")
        return color if color.startswith("#") else "#" + color

    def addSphere(self, x, y, z, radius, color=None, opacity=1.0):
        x, y, z, radius, opacity = float(x), float(y), float(z), float(radius), float(opacity)
        data = {"position": {"x": x, "y": y, "z": z}, "radius": radius, "color": self._color(color),
                "opacity": opacity}
        self._emitAction("addSphere", {"type": "addSphere", "data": data})

    def addBox(self, center, sides=[1.0, 1.0, 1.0], lineSize=1.0, color=None, opacity=1.0):
        if type(center) is not list:
            raise TypeError(f"Argument 'center' has incorrect type (expected list, got {type(center).__name__})")
        if type(sides) is not list:
            raise TypeError(f"Argument 'sides' has incorrect type (expected list, got {type(sides).__name__})")
        lineSize, opacity = float(lineSize), float(opacity)
        if len(center) != 3 or not all(isinstance(c, float) for c in center):
            raise ValueError(f"Center must be a 3 dimensional float list of the form [x, y, z]. Got value '{center}'")
        if len(sides) != 3 or not all(isinstance(s, float) for s in sides):
            raise ValueError(f"Sides must be a 3 dimensional float list of the form [a, b, c]. Got value '{sides}'")
        position = {"x0": center[0], "y0": center[1], "z0": center[2], "x1": sides[0], "y1": 0, "z1": 0,
                    "x2": 0, "y2": sides[1], "z2": 0, "x3": 0, "y3": 0, "z3": sides[2]}
        data = {"position": position, "radiusScale": lineSize, "radialSegments": 5, "color": self._color(color),
                "opacity": opacity}
        self._emitAction("addBox", {"type": "addBox", "data": data})

    def addMolecule(self, filePath, label=None):
        if type(filePath) is not str:
            raise TypeError(f"Argument 'filePath' has incorrect type (expected str, got {type(filePath).__name__})")
        fileName = os.path.basename(filePath)
        data = {"fileName": fileName, "molContent": os.path.abspath(filePath), "label": label or fileName}
        self._emitAction("loadMolecule", {"type": "addMolecule", "data": data})

    def loadMVJS(self, mvjs, replaceExisting=False):
        if type(mvjs) is not dict:
            raise TypeError(f"Argument 'mvjs' has incorrect type (expected dict, got {type(mvjs).__name__})")
        self._emitAction("loadMVJS", {"type": "loadMVJS", "data": {"session": json.dumps(mvjs),
                                                                     "replace": replaceExisting}})

    def reset(self):
        self._emitAction("reset", {"type": "reset", "data": {}})


class Flow:
    def __init__(self):
        self.savedID = 7
        self.pendingActions = []


SCENE = {"root": {"kind": "root", "children": [{"kind": "download", "params": {"url": "https://x/1cbs.cif"}},
                                               {"kind": "parse", "params": {"format": "mmcif"}}]},
         "metadata": {"version": "1"}}

CASES = [
    ("addSphere(1, 2, 3, 0.5)", lambda api: api.addSphere(1, 2, 3, 0.5)),
    ("addSphere kw, colour", lambda api: api.addSphere(1.0, 2.0, 3.0, radius=0.5, color="ff0000", opacity=0.5)),
    ("addBox([0.0]*3, sides)", lambda api: api.addBox([0.0, 0.0, 0.0], [2.0, 2.0, 2.0])),
    ("addMolecule(rel path)", lambda api: api.addMolecule("data/prot.pdb")),
    ("loadMVJS(dict)", lambda api: api.loadMVJS(SCENE, True)),
    ("reset()", lambda api: api.reset()),
]


def per_call_ns(fast, plain, call, number=20000, repeat=9):
    """Best time per call of each, the two runs interleaved so that load on the machine hits both."""
    best = {id(fast): float("inf"), id(plain): float("inf")}
    for _ in range(repeat):
        for api in (fast, plain):
            api._flow.pendingActions.clear()
            elapsed = timeit.timeit(lambda: call(api), number=number)
            best[id(api)] = min(best[id(api)], elapsed / number * 1e9)
    return best[id(fast)], best[id(plain)]


def main():
    logging.getLogger("Qorvel").setLevel(logging.INFO)  # debug lines off, as in production
    fast, plain = MolstarAPI(), PlainMolstarAPI()
    fast._flow, plain._flow = Flow(), Flow()
    for api in (fast, plain):  # same messages from both
        for _, call in CASES:
            call(api)
    assert fast._flow.pendingActions == plain._flow.pendingActions
    print(f"{'operation':<26}{'C++ ns':>10}{'Python ns':>12}{'ratio':>8}")
    for name, call in CASES:
        c, p = per_call_ns(fast, plain, call)
        print(f"{name:<26}{c:>10.0f}{p:>12.0f}{p / c:>8.2f}")


if __name__ == "__main__":
    main()
