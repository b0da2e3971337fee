"""Shared fixtures: every test starts from default settings and sequential mode."""

import pytest

from quorvane import globals_quorvane as GZR


@pytest.fixture(autouse=True)
def default_settings():
    GZR.pc.reset()
    yield GZR.pc
    GZR.pc.reset()


@pytest.fixture(autouse=True)
def sequential_mode():
    import quorvane.marlune as marlune

    marlune.doing_threading = False
    yield
    marlune.doing_threading = False
