import os

import pytest

# CI sets this so that a missing optional dependency fails instead of skipping tests.
REQUIRE_ALL = os.environ.get("TARVELO_TEST_REQUIRE_ALL") == "1"


def import_or_skip(name: str):
    if REQUIRE_ALL:
        return __import__(name)
    return pytest.importorskip(name)


def built_tool():
    """The tarvelo-convert of the build tree that TARVELO_LIBRARY names, or None."""
    value = os.environ.get("TARVELO_LIBRARY", "")
    if not value:
        return None
    build = value if os.path.isdir(value) else os.path.dirname(os.path.dirname(os.path.abspath(value)))
    for name in ("tarvelo-convert", "tarvelo-convert.exe"):
        path = os.path.join(build, "tools", "tarvelo-convert", name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None
