#!/usr/bin/env bash
# Builds vardex into .venv, loads it in a scratch folder and files one report.
source "$(dirname "$0")/setup-env.sh"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cp "$("$VENV_PY" -c 'import importlib.util; print(importlib.util.find_spec("vardex").origin)')" "$scratch/"
cd "$scratch"
PYTHONPATH="$scratch" "$VENV_PY" - <<'PY'
import sys
import vardex
print("vardex loaded from", vardex.__file__)
print("data folder:", vardex.data_store_folder)
vardex.print_directly = 1
frame = sys._getframe()
vardex.print_caller_details("<demo>", vardex.get_caller_details(frame))
vardex.combine_trace_info_list(vardex.trace_info, "<demo>",
    ["-↓--------VALUE CHANGED3 in " + __file__ + " line 1:demo = 1", "None -> 1"])
print("result file", vardex.trace_result_file_path, "now holds:")
print(vardex.trace_result_file_path.read_text(encoding="utf-8"), end="")
PY
