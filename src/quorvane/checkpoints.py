"""The former name of ``quorvane.checkpoint``, kept so that code importing it still runs."""

from quorvane.checkpoint import *  # noqa: F401,F403
from quorvane.checkpoint import __all__  # noqa: F401
