"""Viewer actions for the Mol* molecular viewer of the running flow."""
from types import ModuleType
from typing import Any, Dict, List, Optional, Union

from .utils import SingletonMeta

class _MolstarAPIBase:
    _flow: Any
    @property
    def mvs(self) -> ModuleType:
        """The molviewspec library. Use it to build complex scenes"""
    def _emitAction(self, action: str, data: Dict[str, Any]) -> None:
        """Emits the given action with the given data to Mol*"""
    def addMolecule(self, filePath: str, label: Optional[str] = None) -> None:
        """Adds the given Molecule file to Mol*"""
    def loadMVJS(self, mvjs: Union[Dict[str, Any], str, Any], replaceExisting: Any = False) -> None:
        """Loads a molviewspec session into Mol*

        `mvjs` is what the scene builder's get_state() returns: a dictionary, a text holding a
        JSON object, or a pydantic model.
        """
    def focusResidue(self, residue: int, structureLabel: Optional[str] = None, chain: Optional[str] = None,
                     nearRadius: int = 5) -> None:
        """Focuses on the given residue"""
    def addSphere(self, x: float, y: float, z: float, radius: float, color: Optional[str] = None,
                  opacity: float = 1.0) -> None:
        """Adds a sphere to the scene."""
    def addBox(self, center: List[float], sides: List[float] = [1.0, 1.0, 1.0], lineSize: float = 1.0,
               color: Optional[str] = None, opacity: float = 1.0) -> None:
        """Adds a box to the scene."""
    def setBackgroundColor(self, color: str) -> None:
        """Sets the background color of the scene"""
    def setSpin(self, speed: float = 1.0) -> None:
        """Sets the spin of the molecule."""
    def reset(self) -> None:
        """Resets the visualizer"""

class MolstarAPI(_MolstarAPIBase, metaclass=SingletonMeta):
    """API for interacting with Mol* visualizer inside Qorvel"""
    def __init__(self) -> None: ...
