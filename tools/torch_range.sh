#!/usr/bin/env bash
# Runs the whole test suite against the oldest and the newest torch release the package
# supports (the range pyproject.toml declares), each in a venv kept under the user cache
# (made once and reused; PyPI's torch for Linux is a CUDA build, which runs on the CPU).
# The extensions are built for each venv in build/torch-range/<torch version>/. Prints
# the pass counts per release and exits non-zero if any run failed.
#
#   tools/torch_range.sh                   the oldest and the newest supported release
#   tools/torch_range.sh 2.6.0 2.10.0      the releases named
#   tools/torch_range.sh --setup-only      create or refresh the venvs, run nothing
#
# Environment: QUORVANE_VENV_CACHE (where the venvs live), PYTEST_ARGS (extra pytest
# arguments), PYTHON (the interpreter the venvs are made from; python3 by default).
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

# The venv of one torch release, made or refreshed; echoes its python. This machine's
# pip configuration may cap torch: the venvs of the range are installed without it.
release_venv() {
    local torch_version="$1" python minor
    python="$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')" || return 1
    minor="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    PIP_CONFIG_FILE=/dev/null ensure_venv "$python" "$CACHE/torch-$torch_version-py$minor" "torch==$torch_version $DEPS"
}

main() {
    local setup_only="" releases=()
    if [ "${1:-}" = "--setup-only" ]; then
        setup_only=1
        shift
    fi
    if [ $# -gt 0 ]; then releases=("$@"); else releases=("$OLDEST" "$NEWEST"); fi

    local results=() failed=0 release vpython tmp
    tmp="$(mktemp)"
    for release in "${releases[@]}"; do
        echo "== torch $release"
        if ! vpython="$(release_venv "$release")"; then
            results+=("torch $release: venv set-up FAILED")
            failed=1
            continue
        fi
        if [ -n "$setup_only" ]; then
            results+=("torch $release: venv ready ($vpython)")
            continue
        fi
        : >"$tmp"
        if run_suite "$vpython" "$ROOT/build/torch-range/$release" "$tmp"; then
            results+=("torch $release: $(cat "$tmp")")
        else
            results+=("torch $release: FAILED: $(cat "$tmp")")
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
