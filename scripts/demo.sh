#!/usr/bin/env bash
# Builds vardex into .venv and traces the example shop project, printing the
# report grouped per watched variable. The module is used from a private copy
# so the run's data folder is a scratch one.
source "$(dirname "$0")/setup-env.sh"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cp "$("$VENV_PY" -c 'import importlib.util; print(importlib.util.find_spec("vardex").origin)')" "$scratch/"
cd "$ROOT/examples/shop"
PYTHONPATH="$scratch" "$VENV_PY" -c 'import sys, vardex; sys.argv[0] = "vardex"; vardex.main()' \
    main.py --var total,rate --list names --print 0 --show instances
