# Shared by tools/portability_full.sh and tools/torch_range.sh (sourced, not run):
# venvs kept in the user cache, and the suite run against an out-of-tree build.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CACHE="${QUORVANE_VENV_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvane/venvs}"
if [ -z "${PYENV_ROOT:-}" ]; then
    PYENV_ROOT="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
fi

# The newest installed patch release of one minor version, e.g. 3.12 -> .../3.12.1/bin/python.
find_python() {
    local minor="$1" best=""
    for dir in "$PYENV_ROOT"/versions/"$minor".*; do
        [ -x "$dir/bin/python" ] || continue
        # Only plain releases (3.12.1), not 3.12-dev or 3.12.1t.
        [[ "$(basename "$dir")" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || continue
        best="$(printf '%s\n%s\n' "$best" "$dir" | sort -V | tail -n 1)"
    done
    [ -n "$best" ] && echo "$best/bin/python"
}

all_minors() {
    for dir in "$PYENV_ROOT"/versions/3.*; do
        [[ "$(basename "$dir")" =~ ^3\.([0-9]+)\.[0-9]+$ ]] || continue
        [ "${BASH_REMATCH[1]}" -ge 10 ] && echo "3.${BASH_REMATCH[1]}"
    done | sort -V -u
}

# pip install, without the notes about local package folders this machine's pip
# configuration names but does not have.
quiet_pip() {
    local python="$1"
    shift
    "$python" -m pip install -q --no-cache-dir "$@" 2>&1 | grep -v "^WARNING: Location '.*' is ignored" >&2
    return "${PIPESTATUS[0]}"
}

# Creates or refreshes the venv `venv` of the interpreter `python` with the
# requirements (one string, split on spaces; a change re-runs pip); echoes its
# python. Pip sees the caller's environment (`PIP_CONFIG_FILE=/dev/null ensure_venv ...`).
ensure_venv() {
    local python="$1" venv="$2" requirements="$3" stamp="$2/.quorvane-requirements"
    mkdir -p "$CACHE"
    # One set-up at a time per venv (several checkouts may share the cache).
    exec 9>"$venv.lock"
    flock 9 2>/dev/null || true
    # A venv whose interpreter no longer runs (moved or rebuilt) is made again.
    if [ -e "$venv" ] && ! "$venv/bin/python" -c '' 2>/dev/null; then
        echo "== $venv is broken: making it again" >&2
        rm -rf "$venv"
    fi
    if [ ! -x "$venv/bin/python" ]; then
        echo "== creating $venv" >&2
        "$python" -m venv "$venv" >&2 || { exec 9>&-; return 1; }
    fi
    if [ "$(cat "$stamp" 2>/dev/null)" != "$requirements" ]; then
        echo "== installing into $venv: $requirements" >&2
        # No pip cache: the CUDA wheels of torch would double the disk used.
        # shellcheck disable=SC2086
        if ! quiet_pip "$venv/bin/python" --upgrade pip || ! quiet_pip "$venv/bin/python" $requirements; then
            exec 9>&-
            return 1
        fi
        echo "$requirements" >"$stamp"
    fi
    exec 9>&-
    echo "$venv/bin/python"
}

# Builds the extensions for the venv python `vpython` in `build` and runs the suite
# against them (PYTEST_ARGS: extra pytest arguments); the last line of pytest's
# output goes to `summary_file`.
run_suite() {
    local vpython="$1" build="$2" summary_file="$3" pkg="$2/pkg"
    # cmake finds the venv's ninja on PATH.
    local PATH="$(dirname "$vpython"):$PATH"
    "$(dirname "$vpython")/cmake" -S "$ROOT" -B "$build" -G Ninja -DPython_EXECUTABLE="$vpython" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
    "$(dirname "$vpython")/cmake" --build "$build" >/dev/null || { "$(dirname "$vpython")/cmake" --build "$build"; return 1; }
    rm -rf "$pkg" && mkdir -p "$pkg"
    cp -r "$ROOT/src/quorvane" "$pkg/"
    rm -rf "$pkg/quorvane/__pycache__" "$pkg/quorvane/"*.so
    cp "$build"/*.so "$pkg/quorvane/"
    local log="$build/pytest.log" rc
    # shellcheck disable=SC2086
    (cd "$ROOT" && QUORVANE_OTHER_INTERPRETER=1 PYTHONPATH="$pkg" "$vpython" -m pytest -q -p no:cacheprovider ${PYTEST_ARGS:-}) 2>&1 | tee "$log"
    rc="${PIPESTATUS[0]}"
    grep -E '^(=+ )?[0-9]+ (passed|failed|error)|no tests ran' "$log" | tail -n 1 | sed -E 's/^=+ //; s/ =+$//' >"$summary_file"
    return "$rc"
}
