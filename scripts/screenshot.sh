#!/usr/bin/env bash
# Makes docs/window.png and docs/window-zh.png: the window in full mode with a
# class row and a stop line, in English and in Chinese, rendered under Xvfb
# (needs Xvfb). The Chinese texts (and the rows' check boxes, "启用", in both)
# need a CJK font: one is installed where that can be done (apt-get, as root),
# else the pictures are made anyway, with empty boxes for those texts.
source "$(dirname "$0")/setup-env.sh"

has_cjk_font() { [ -n "$(fc-list :lang=zh family 2>/dev/null || true)" ]; }

if ! has_cjk_font; then
    if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
        echo "installing a CJK font (fonts-noto-cjk) for the Chinese texts"
        export DEBIAN_FRONTEND=noninteractive
        apt-get install -y -q fonts-noto-cjk >/dev/null ||
            { apt-get update -q >/dev/null && apt-get install -y -q fonts-noto-cjk >/dev/null; } || true
    fi
    if ! has_cjk_font; then
        echo "note: no CJK font is installed (Debian: apt-get install fonts-noto-cjk); the Chinese texts" \
             "will show as empty boxes" >&2
    fi
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A private copy of the installed module: its data folder is a temporary one.
cp "$(cd / && "$VENV_PY" -c 'import vardex; print(vardex.__file__)')" "$work/"
cd "$work"
for language in en zh; do
    if [ "$language" = zh ]; then picture="$ROOT/docs/window-zh.png"; else picture="$ROOT/docs/window.png"; fi
    PYTHONPATH="$work" xvfb-run -a -s "-screen 0 1400x900x24" "$VENV_PY" "$ROOT/scripts/window_screenshot.py" \
        "$picture" "$language"
    echo "wrote $picture"
done
