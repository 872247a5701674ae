"""Test plugin for `qorvel-plugin serve`: blocks that call every viewer operation, a page with endpoints."""

import os

from QorvelAPI.molstar import MolstarAPI
from QorvelAPI.plugins import Plugin, PluginBlock, PluginEndpoint, PluginPage, PluginVariable, VariableTypes

# An MVS session whose only effect is a green canvas: the pixels show that it was loaded.
GREEN_SESSION = {"root": {"kind": "root", "children": [{"kind": "canvas", "params": {"background_color": "#00ff00"}}]},
                 "metadata": {"version": "1", "timestamp": "2026-01-01T00:00:00"}}


def echo(**arguments):
    return {"arguments": arguments}


def fail(**_arguments):
    raise ValueError("the weights do not add up")


tools = PluginPage("Tools", "Probe tools", "Endpoints of every kind.", "tools.html")
tools.addEndpoint(PluginEndpoint("/echo", ["GET", "POST"], echo))
tools.addEndpoint(PluginEndpoint("/fail", ["GET"], fail))
tools.addEndpoint(PluginEndpoint("/made", ["POST"], lambda **_: (201, "made")))
tools.addEndpoint(PluginEndpoint("/nothing", ["GET"], lambda: None))


def molecule(block):
    viewer = MolstarAPI()
    viewer.addMolecule(os.path.join(block.pluginDir, "peptide.pdb"), label="pep")
    viewer.focusResidue(2, "pep", "A", nearRadius=3)


def mvs(block):
    viewer = MolstarAPI()
    viewer.addSphere(0.0, 0.0, 0.0, 4.0, color="#ff0000")
    viewer.loadMVJS(GREEN_SESSION, replaceExisting=False)


def scene(block):
    viewer = MolstarAPI()
    viewer.setBackgroundColor("#000000")
    viewer.addBox([0.0, 0.0, 0.0], [4.0, 4.0, 4.0], color="#0000ff")
    viewer.setSpin(1)
    viewer.reset()
    viewer.setBackgroundColor("#12")  # not a colour: the viewer shows an error and goes on
    viewer.addMolecule(os.path.join(os.sep, "etc", "hostname"))  # outside the served folders
    viewer.addSphere(0.0, 0.0, 0.0, 2.0, color="ffff00")
    viewer.setSpin(0)


def blocks():
    made = []
    for action, name in ((molecule, "molecule"), (mvs, "mvs"), (scene, "scene")):
        made.append(PluginBlock(name.title(), f"Viewer operations: {name}.", action=action, id=name,
                                outputs=[PluginVariable("note", "Note", "unused", VariableTypes.STRING)]))
    return made


plugin = Plugin()
for block in blocks():
    plugin.addBlock(block)
plugin.addPage(tools)
