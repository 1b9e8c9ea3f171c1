#!/usr/bin/env bash
# Makes docs/window.png: the window in full mode with a class row and a stop
# line, rendered under Xvfb (needs Xvfb).
source "$(dirname "$0")/setup-env.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A private copy of the installed module: its data folder is a temporary one.
cp "$(cd / && "$VENV_PY" -c 'import vardex; print(vardex.__file__)')" "$work/"
cd "$work"
PYTHONPATH="$work" xvfb-run -a -s "-screen 0 1400x900x24" "$VENV_PY" "$ROOT/scripts/window_screenshot.py" \
    "$ROOT/docs/window.png"
echo "wrote $ROOT/docs/window.png"
