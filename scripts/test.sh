#!/usr/bin/env bash
# Builds vardex for every supported CPython (3.12 and 3.13), each into its own
# virtual environment, and runs the whole test suite under each. A supported
# version that is not installed is an error, unless VARDEX_VERSIONS names the
# versions to use (for example VARDEX_VERSIONS=3.12). Arguments go to pytest.
source "$(dirname "$0")/lib.sh"
status=0
for version in ${VARDEX_VERSIONS:-$SUPPORTED_VERSIONS}; do
    setup_venv "$version" || exit 1
    echo "== the test suite under CPython $version ($VENV_PY)"
    "$VENV_PY" -m pytest "$@" || status=1
done
exit $status
