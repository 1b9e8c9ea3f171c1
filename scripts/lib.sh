# Sourced by the other scripts: finds the supported CPython versions and
# builds and installs vardex (incrementally) into a virtual environment of
# each: .venv for CPython 3.12, .venv-3.13 for CPython 3.13.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

SUPPORTED_VERSIONS="3.12 3.13"

is_version() {  # is_version PYTHON 3.12
    "$1" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$2' and sys.implementation.name == 'cpython' else 1)" >/dev/null 2>&1
}

find_python() {  # find_python 3.12: the interpreter's path, or status 1
    local version="$1" override candidate
    override="VARDEX_PYTHON_${version/./_}"
    if [ "$version" = "3.12" ] && [ -n "${VARDEX_PYTHON:-}" ] && is_version "$VARDEX_PYTHON" "$version"; then
        echo "$VARDEX_PYTHON"; return
    fi
    if [ -n "${!override:-}" ] && is_version "${!override}" "$version"; then echo "${!override}"; return; fi
    if candidate="$(command -v "python$version" 2>/dev/null)" && is_version "$candidate" "$version"; then
        echo "$candidate"; return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local root v
        root="$(pyenv root)"
        for v in $(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}(\.[0-9]+)?$" | sort -t. -k3 -n -r); do
            candidate="$root/versions/$v/bin/python$version"
            if is_version "$candidate" "$version"; then echo "$candidate"; return; fi
        done
    fi
    return 1
}

venv_of() {  # venv_of 3.12: the folder of that version's environment
    if [ "$1" = "3.12" ]; then echo "$ROOT/.venv"; else echo "$ROOT/.venv-$1"; fi
}

setup_venv() {  # setup_venv 3.12: builds and installs vardex; sets VENV_PY
    local version="$1" python venv
    python="$(find_python "$version")" || {
        echo "error: CPython $version not found (looked for python$version on PATH and in pyenv;" \
             "set VARDEX_PYTHON_${version/./_} to its path, or VARDEX_VERSIONS to the versions to use)" >&2
        return 1
    }
    venv="$(venv_of "$version")"
    if [ ! -x "$venv/bin/python" ] || ! is_version "$venv/bin/python" "$version"; then
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi
    VENV_PY="$venv/bin/python"
    "$VENV_PY" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=3.0,<4" ninja
    "$VENV_PY" -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]"
}
