#!/usr/bin/env bash
# Builds vardex into .venv and traces the example shop project with the
# installed command twice: variables and a list, printing the report grouped
# per watched variable; then the cart class (plain attributes, a property with
# a setter, a polled property, a dotted path and a list attribute), printing
# each report as it happens and the reports grouped per watched instance.
source "$(dirname "$0")/setup-env.sh"
cd "$ROOT/examples/shop"
"$ROOT/.venv/bin/vardex" main.py --var total,rate --list names --print 0 --show instances
echo
exec "$ROOT/.venv/bin/vardex" main.py --class Cart:total,discount,count,owner.name:items:cart \
    --print 3 --show instances
