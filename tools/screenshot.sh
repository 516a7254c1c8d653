#!/usr/bin/env bash
# Remakes docs/window.png: the real window mid-download, from a demo run under Xvfb with a CJK
# font, so the Chinese texts render as Chinese.
set -euo pipefail
cd "$(dirname "$0")/.."
DISPLAY= bash tools/demo.sh --screenshot="$PWD/docs/window.png"
