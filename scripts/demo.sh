#!/usr/bin/env bash
# Builds vardex into .venv and traces the example shop project with the
# installed command, printing the report grouped per watched variable.
source "$(dirname "$0")/setup-env.sh"
cd "$ROOT/examples/shop"
exec "$ROOT/.venv/bin/vardex" main.py --var total,rate --list names --print 0 --show instances
