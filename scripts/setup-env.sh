# Sourced by the demo and screenshot scripts: builds vardex for CPython 3.12
# and installs it (incrementally) into .venv.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
setup_venv 3.12
