#!/usr/bin/env bash
# Runs the whole test suite under every CPython 3.10+ that pyenv has installed.
#
# One venv per interpreter lives outside the checkout (under the user cache, so every
# clone and every run reuses it); each gets torch, numpy, pytest, hypothesis and the
# build tools once. The extensions are then built for that interpreter in
# build/portability/<version>/ and the suite runs against them. Prints the pass counts
# per interpreter and exits non-zero if any run failed.
#
#   tools/portability_full.sh                 every pyenv interpreter from 3.10 up
#   tools/portability_full.sh 3.13            only the newest 3.13.x (several may be named)
#   tools/portability_full.sh --newest        only the newest minor version found
#   tools/portability_full.sh --setup-only    create or refresh the venvs, run nothing
#
# Environment: QUORVANE_VENV_CACHE (where the venvs live), PYENV_ROOT, PYTEST_ARGS
# (extra pytest arguments, e.g. "-x tests/test_forward.py"),
# QUORVANE_MISSING_OK=1 (a requested interpreter that is not installed is a note, not a failure),
# QUORVANE_TESTED_MINOR=3.11 (with --newest: nothing to do when the newest is that version).
set -uo pipefail

# shellcheck source=tools/venvs.sh
source "$(dirname "$0")/venvs.sh"
# The same requirements as the project's own venv (Makefile); a change re-runs pip.
REQUIREMENTS="torch==2.13.0 numpy safetensors pytest hypothesis scikit-build-core pybind11 ninja cmake"

# The venv of one interpreter, made or refreshed; echoes its python.
interpreter_venv() {
    local python="$1" version
    version="$("$python" -c 'import platform; print(platform.python_version())')"
    ensure_venv "$python" "$CACHE/cpython-$version" "$REQUIREMENTS"
}

# Builds the extensions for one venv's interpreter and runs the suite; the last line of
# pytest's output goes to $2.
run_one() {
    local vpython="$1" version
    version="$("$vpython" -c 'import platform; print(platform.python_version())')"
    run_suite "$vpython" "$ROOT/build/portability/$version" "$2"
}

main() {
    local minors=() missing_ok="${QUORVANE_MISSING_OK:-}" setup_only=""
    if [ "${1:-}" = "--setup-only" ]; then
        setup_only=1
        shift
    fi
    if [ "${1:-}" = "--newest" ]; then
        minors=("$(all_minors | tail -n 1)")
        if [ -z "${minors[0]}" ]; then
            echo "== no CPython 3.10+ under $PYENV_ROOT/versions: the suite did not run on another interpreter"
            [ -n "$missing_ok" ]
            return
        fi
        if [ "${minors[0]}" = "${QUORVANE_TESTED_MINOR:-}" ]; then
            echo "== the newest CPython here, ${minors[0]}, is the one the suite just ran on"
            return 0
        fi
    elif [ $# -gt 0 ]; then
        minors=("$@")
    else
        mapfile -t minors < <(all_minors)
    fi

    local results=() failed=0 minor python vpython summary tmp
    tmp="$(mktemp)"
    for minor in "${minors[@]}"; do
        python="$(find_python "$minor")"
        if [ -z "$python" ]; then
            echo "== python $minor: not installed under $PYENV_ROOT/versions, skipped"
            results+=("python $minor: not installed, skipped")
            [ -n "$missing_ok" ] || failed=1
            continue
        fi
        echo "== python $minor ($python)"
        if ! vpython="$(interpreter_venv "$python")"; then
            results+=("python $minor: venv set-up FAILED")
            failed=1
            continue
        fi
        if [ -n "$setup_only" ]; then
            results+=("python $minor: venv ready ($vpython)")
            continue
        fi
        : >"$tmp"
        if run_one "$vpython" "$tmp"; then
            summary="$(cat "$tmp")"
        else
            summary="FAILED: $(cat "$tmp")"
            failed=1
        fi
        results+=("python $("$vpython" -c 'import platform; print(platform.python_version())'): ${summary:-no summary}")
    done
    rm -f "$tmp"
    echo
    echo "== pass counts per interpreter"
    printf '%s\n' "${results[@]}"
    return "$failed"
}

main "$@"
