"""One line on what an environment runs the tests with: interpreter, pydantic, the scene library."""
import importlib.metadata
import platform

import pydantic

try:
    scenes = "molviewspec " + importlib.metadata.version("molviewspec")
except importlib.metadata.PackageNotFoundError:
    scenes = "molviewspec stand-in"
print(f"Python {platform.python_version()}, pydantic {pydantic.VERSION}, {scenes}")
