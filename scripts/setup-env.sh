# Sourced by the other scripts: finds CPython 3.12, makes .venv with it and
# builds and installs vardex (incrementally) into it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

is_py312() { "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) and sys.implementation.name == "cpython" else 1)' >/dev/null 2>&1; }

find_python312() {
    local candidate
    if [ -n "${VARDEX_PYTHON:-}" ] && is_py312 "$VARDEX_PYTHON"; then echo "$VARDEX_PYTHON"; return; fi
    if candidate="$(command -v python3.12 2>/dev/null)" && is_py312 "$candidate"; then echo "$candidate"; return; fi
    if command -v pyenv >/dev/null 2>&1; then
        local root version
        root="$(pyenv root)"
        for version in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -t. -k3 -n -r); do
            candidate="$root/versions/$version/bin/python3.12"
            if is_py312 "$candidate"; then echo "$candidate"; return; fi
        done
    fi
    return 1
}

PY312="$(find_python312)" || {
    echo "error: CPython 3.12 not found (looked for python3.12 on PATH and in pyenv; set VARDEX_PYTHON to its path)" >&2
    exit 1
}

if [ ! -x .venv/bin/python ] || ! is_py312 .venv/bin/python; then
    rm -rf .venv
    "$PY312" -m venv .venv
fi
VENV_PY="$ROOT/.venv/bin/python"
"$VENV_PY" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=3.0,<4" ninja
"$VENV_PY" -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]"
