"""Host utilities that the extension modules rely on.

The platform's server may provide its own module in this place; these are the definitions that
make the package work outside the platform (tests, the local development host).
"""

import threading
from typing import Any, Dict


class ResetRemoteException(Exception):
    """Raised by a remote's status operation when the remote side of a block was reset."""


class SingletonMeta(type):
    """Metaclass under which every construction of a class returns one shared instance."""

    _instances: Dict[type, Any] = {}
    _lock = threading.Lock()

    def __call__(cls, *args: Any, **kwargs: Any) -> Any:
        with SingletonMeta._lock:
            instance = SingletonMeta._instances.get(cls)
            if instance is None:
                instance = super().__call__(*args, **kwargs)
                SingletonMeta._instances[cls] = instance
            return instance
