"""The documentation site built once per test process (the notebook is not executed here; `make
docs` executes it), for the site tests and the browser test of the reference."""

import atexit
import functools
import os
import shutil
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


@functools.lru_cache(maxsize=None)
def tools_missing() -> str | None:
    """Why this interpreter cannot build the site, or None. The tools are Debian's packages, built for
    Debian's interpreter (.venv); another interpreter may see them and fail to import them."""
    try:
        with warnings.catch_warnings():  # their own deprecated imports are not this suite's concern
            warnings.simplefilter("ignore", DeprecationWarning)
            import furo, myst_parser, nbclient, nbsphinx, sphinx  # noqa: F401, E401 - only whether they import
    except Exception as exc:  # noqa: BLE001 - a compiled dependency of another interpreter fails in many ways
        return f"the documentation tools do not import here ({exc.__class__.__name__}: {exc})"
    return None


@functools.lru_cache(maxsize=None)
def built_site() -> Path:
    out = Path(tempfile.mkdtemp(prefix="qorvel-docs-"))
    atexit.register(shutil.rmtree, out, True)
    env = dict(os.environ, QORVEL_DOCS_EXECUTE="never", PYTHONPATH=str(ROOT / "python"))
    done = subprocess.run([sys.executable, "-m", "sphinx", "-b", "html", "-W", "--keep-going", "-q",
                           "-d", str(out / "doctrees"), str(ROOT / "docs"), str(out / "html")],
                          env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    return out / "html"
