#!/usr/bin/env bash
# Builds vardex into .venv and runs the whole test suite.
source "$(dirname "$0")/setup-env.sh"
exec "$VENV_PY" -m pytest "$@"
