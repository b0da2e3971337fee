"""Compiles both extensions against every CPython from 3.10 up found on this machine,
with -Wall -Wextra -Werror, and imports them with the interpreters that have torch
(for a pyenv interpreter, the venv that tools/portability_full.sh keeps for it, where
there is one).

Prints one line per interpreter and exits non-zero if any build or import fails."""

import glob
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def venv_cache():
    return os.environ.get("QUORVANE_VENV_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "quorvane", "venvs")


def with_torch(python):
    """The venv of tools/portability_full.sh for this interpreter, if it has one that runs."""
    try:
        version = subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                                 capture_output=True, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return python
    venv_python = os.path.join(venv_cache(), f"cpython-{version}", "bin", "python")
    if version and os.access(venv_python, os.X_OK) and subprocess.run([venv_python, "-c", ""]).returncode == 0:
        return venv_python
    return python


def interpreters():
    # The running interpreter (normally the project's venv, which has torch) stands for its version.
    found = {"%d.%d" % sys.version_info[:2]: sys.executable}
    candidates = glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3.*"))
    candidates += [shutil.which(f"python3.{minor}") or "" for minor in range(10, 16)]
    for path in candidates:
        if not path or not os.access(path, os.X_OK) or path.endswith("-config"):
            continue
        try:
            version = subprocess.run([path, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                                     capture_output=True, text=True, timeout=30).stdout.strip()
        except (OSError, subprocess.TimeoutExpired):
            continue
        if version and tuple(map(int, version.split("."))) >= (3, 10) and version not in found:
            found[version] = with_torch(path)
    return dict(sorted(found.items(), key=lambda kv: tuple(map(int, kv[0].split(".")))))


def has_module(python, name):
    return subprocess.run([python, "-c", f"import {name}"], capture_output=True).returncode == 0


def main():
    import pybind11

    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    failures = 0
    for version, python in interpreters().items():
        build = tempfile.mkdtemp(prefix=f"quorvane-py{version}-")
        try:
            configure = subprocess.run(
                [cmake, "-S", ROOT, "-B", build, "-G", "Ninja", f"-DPython_EXECUTABLE={python}",
                 f"-Dpybind11_DIR={pybind11.get_cmake_dir()}", "-DQUORVANE_WERROR=ON"],
                capture_output=True, text=True)
            compiled = configure.returncode == 0 and subprocess.run(
                [cmake, "--build", build], capture_output=True, text=True)
            if not compiled or compiled.returncode != 0:
                output = (compiled.stdout + compiled.stderr) if compiled else configure.stdout + configure.stderr
                print(f"python {version}: BUILD FAILED\n{output[-3000:]}")
                failures += 1
                continue
            status = "compiled (no torch: import not checked)"
            if has_module(python, "torch") and has_module(python, "numpy"):
                package = os.path.join(build, "pkg")
                shutil.copytree(os.path.join(ROOT, "src", "quorvane"), os.path.join(package, "quorvane"),
                                ignore=shutil.ignore_patterns("*.so", "__pycache__"))
                for library in glob.glob(os.path.join(build, "*.so")):
                    shutil.copy(library, os.path.join(package, "quorvane"))
                check = subprocess.run(
                    [python, "-c", "import quorvane.marlune, quorvane.ostrelle; print('ok')"],
                    capture_output=True, text=True, env={**os.environ, "PYTHONPATH": package})
                if check.returncode != 0:
                    print(f"python {version}: IMPORT FAILED\n{check.stderr[-3000:]}")
                    failures += 1
                    continue
                status = "compiled and imported"
            print(f"python {version}: {status} ({python})")
        finally:
            shutil.rmtree(build, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
