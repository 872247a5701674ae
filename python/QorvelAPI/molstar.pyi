"""Viewer actions for the Mol* molecular viewer of the running flow."""
from types import ModuleType
from typing import Any, Dict, List, Optional, Union

from .utils import SingletonMeta

def _messageCatalogue() -> List[Dict[str, Any]]:
    """The viewer messages that MolstarAPI sends, one dictionary per operation: its method, the
    message type, the action name written to the log, its parameters (name, and the default as
    the signature shows it), the keys of its data, and whether the viewer replays it after
    loading a session. A new list each call."""

class _MolstarAPIBase:
    """API for interacting with Mol* visualizer inside Qorvel"""

    _flow: Any
    @property
    def mvs(self) -> ModuleType:
        """The molviewspec library. Use it to build complex scenes"""
    def _emitAction(self, action: str, data: Dict[str, Any]) -> None:
        """Emits the given action with the given data to Mol*

        Args:
            action: The name of the action, written to the log.
            data: The viewer message; it is stamped with the flow's savedID and queued on the
                running flow's pendingActions.
        """
    def addMolecule(self, filePath: str, label: Optional[str] = None) -> None:
        """Adds the given Molecule file to Mol*

        Args:
            filePath: The path of the molecule file.
            label: The label for the molecule. Optional. Defaults to the filename
        """
    def loadMVJS(self, mvjs: Union[Dict[str, Any], str, Any], replaceExisting: bool = False) -> None:
        """Loads a molviewspec session into Mol*

        Args:
            mvjs: The state of a scene built with `mvs`, as returned by the scene builder's
                get_state(): a dictionary, a text holding a JSON object, or a pydantic model.
            replaceExisting: Whether to replace the existing session or not
        """
    def focusResidue(self, residue: int, structureLabel: Optional[str] = None, chain: Optional[str] = None,
                     nearRadius: int = 5) -> None:
        """Focuses on the given residue

        Args:
            residue: The sequence number of the residue to focus
            structureLabel: The label of the structure to focus
            chain: The chain ID of the residue to focus
            nearRadius: The radius around the residue to display nearby residues
        """
    def addSphere(self, x: float, y: float, z: float, radius: float, color: Optional[str] = None,
                  opacity: float = 1.0) -> None:
        """Adds a sphere to the scene.

        Args:
            x, y, z: The centre of the sphere, in angstrom.
            radius: The radius of the sphere, in angstrom.
            color: The colour as an RGB hex string; defaults to "#0000FF".
            opacity: The opacity, from 0.0 to 1.0.
        """
    def addBox(self, center: List[float], sides: List[float] = [1.0, 1.0, 1.0], lineSize: float = 1.0,
               color: Optional[str] = None, opacity: float = 1.0) -> None:
        """Adds a box to the scene.

        Args:
            center: The centre [x, y, z] of the box (three floats); the box is centred on it.
            sides: The side lengths [a, b, c] along the x, y and z axes (three floats).
            lineSize: The width of the lines.
            color: The colour as an RGB hex string; defaults to "#0000FF".
            opacity: The opacity, from 0.0 to 1.0.
        """
    def setBackgroundColor(self, color: str) -> None:
        """Sets the background color of the scene

        Args:
            color: The colour as an RGB hex string.
        """
    def setSpin(self, speed: float = 1.0) -> None:
        """Sets the spin of the molecule.

        Args:
            speed: The rotation speed; 0 stops the rotation.
        """
    def reset(self) -> None:
        """Resets the visualizer"""

class MolstarAPI(_MolstarAPIBase, metaclass=SingletonMeta):
    """API for interacting with Mol* visualizer inside Qorvel"""

    def __init__(self) -> None: ...
