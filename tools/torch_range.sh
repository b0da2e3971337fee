#!/usr/bin/env bash
# Runs the whole test suite against the oldest and the newest torch release the package
# supports (the range pyproject.toml declares), each in a venv kept under the user cache
# (made once and reused; PyPI's torch for Linux is a CUDA build, which runs on the CPU).
# The newest release runs on the newest CPython that pyenv has here (where there is
# one), so one run covers the newest torch and the newest interpreter; the oldest on
# $PYTHON. The extensions are built for each venv in build/torch-range/<torch version>-py<python>/.
# Prints the pass counts per release and exits non-zero if any run failed.
#
#   tools/torch_range.sh                   the oldest and the newest supported release
#   tools/torch_range.sh 2.6.0 2.10.0      the releases named, on $PYTHON
#   tools/torch_range.sh 2.15.0@3.13       a release on the newest pyenv CPython 3.13.x
#   tools/torch_range.sh --setup-only      create or refresh the venvs, run nothing
#
# Environment: QUORVANE_VENV_CACHE (where the venvs live), PYTEST_ARGS (extra pytest
# arguments), PYTHON (the interpreter the venvs are made from; python3 by default),
# PYENV_ROOT.
set -uo pipefail

# shellcheck source=tools/venvs.sh
source "$(dirname "$0")/venvs.sh"

# The ends of the supported range (pyproject.toml's torch requirement and
# quorvane.tracing.OLDEST_SUPPORTED say the same; a test checks it).
OLDEST=2.4.1
NEWEST=2.15.0
# What the project's own venv has besides torch (Makefile: the package's safetensors, the
# suite with its ONNX and transformers checks, the build tools); a change re-runs pip.
DEPS="numpy safetensors==0.8.0 pytest hypothesis onnx==1.23.2 onnxscript==0.7.2 onnxruntime==1.32.0"
DEPS="$DEPS transformers==5.25.0 scikit-build-core pybind11 ninja cmake"

# The interpreter a release runs on: "2.15.0@3.13" names a pyenv minor version,
# "2.15.0" means $PYTHON; echoes its path.
release_python() {
    local wanted="$1"
    if [[ "$wanted" == *@* ]]; then
        find_python "${wanted#*@}" || { echo "== python ${wanted#*@}: not installed under $PYENV_ROOT/versions" >&2; return 1; }
    else
        "${PYTHON:-python3}" -c 'import sys; print(sys.executable)'
    fi
}

# The venv of one torch release on one interpreter, made or refreshed; echoes its
# python. This machine's pip configuration may cap torch: the venvs of the range are
# installed without it.
release_venv() {
    local torch_version="$1" python="$2" minor
    minor="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" || return 1
    PIP_CONFIG_FILE=/dev/null ensure_venv "$python" "$CACHE/torch-$torch_version-py$minor" "torch==$torch_version $DEPS"
}

# The default runs: the oldest release on $PYTHON, the newest on the newest pyenv
# CPython (on $PYTHON where pyenv has none).
default_releases() {
    local newest_minor
    newest_minor="$(all_minors | tail -n 1)"
    echo "$OLDEST"
    if [ -n "$newest_minor" ]; then echo "$NEWEST@$newest_minor"; else echo "$NEWEST"; fi
}

main() {
    local setup_only="" releases=()
    if [ "${1:-}" = "--setup-only" ]; then
        setup_only=1
        shift
    fi
    if [ $# -gt 0 ]; then releases=("$@"); else mapfile -t releases < <(default_releases); fi

    local results=() failed=0 wanted release python vpython label tmp
    tmp="$(mktemp)"
    for wanted in "${releases[@]}"; do
        release="${wanted%@*}"
        echo "== torch $wanted"
        if ! python="$(release_python "$wanted")" || ! vpython="$(release_venv "$release" "$python")"; then
            results+=("torch $wanted: venv set-up FAILED")
            failed=1
            continue
        fi
        if [ -n "$setup_only" ]; then
            results+=("torch $wanted: venv ready ($vpython)")
            continue
        fi
        : >"$tmp"
        label="$release-py$("$vpython" -c 'import platform; print(platform.python_version())')"
        if run_suite "$vpython" "$ROOT/build/torch-range/$label" "$tmp"; then
            results+=("torch $label: $(cat "$tmp")")
        else
            results+=("torch $label: FAILED: $(cat "$tmp")")
            failed=1
        fi
    done
    rm -f "$tmp"
    echo
    echo "== pass counts per torch release"
    printf '%s\n' "${results[@]}"
    return "$failed"
}

main "$@"
