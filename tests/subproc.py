"""Running a snippet in a fresh interpreter that imports quorvane from where we do."""

import os
import subprocess
import sys
import textwrap

import quorvane


def run_python(code, timeout=120, cwd=None):
    env = dict(os.environ)
    root = os.path.dirname(quorvane.__path__[0])
    env["PYTHONPATH"] = root + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env, cwd=cwd)
