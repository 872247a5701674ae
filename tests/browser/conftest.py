"""One headless Chromium for the browser tests; without it they skip here and fail in CI."""

import os
import time

import pytest

from cdp import CHROMIUM, Browser


@pytest.fixture(scope="session")
def browser():
    if not os.access(CHROMIUM, os.X_OK):
        reason = f"Chromium not found at {CHROMIUM} (Debian's chromium package; `make setup` installs it)"
        if os.environ.get("CI") == "true":
            pytest.fail(f"the browser tests are required in CI: {reason}")
        pytest.skip(reason)
    started = time.monotonic()
    one = Browser()
    yield one
    one.close()
    print(f"\nbrowser suite: {time.monotonic() - started:.1f} s with the browser open")
