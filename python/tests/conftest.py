import os

import pytest

# CI sets this so that a missing optional dependency fails instead of skipping tests.
REQUIRE_ALL = os.environ.get("TARVELO_TEST_REQUIRE_ALL") == "1"


def import_or_skip(name: str):
    if REQUIRE_ALL:
        return __import__(name)
    return pytest.importorskip(name)
