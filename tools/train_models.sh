#!/bin/sh
# Renders training views with tevra-synth, trains the floor-sign detector and
# the digit reader (tools/train_models.py, Debian's python3-torch), packages
# both under models/ and measures their accuracy through detectFloor.
#
# Usage: tools/train_models.sh [BUILD_DIR] [VIEWS_PER_SET]
# Not run by scripts/test or CI: it installs a package and takes minutes.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
COUNT=${2:-900}
WORK=${TMPDIR:-/tmp}/tevra-train-$$

if ! /usr/bin/python3 -c 'import torch' 2>/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get install -y python3-torch || { apt-get update && apt-get install -y python3-torch; }
    else
        sudo apt-get install -y python3-torch
    fi
fi

ninja -C "$BUILD" -j2 tevra-synth
mkdir -p "$WORK"
"$BUILD/tevra-synth" views "$WORK/a" --count "$COUNT" --seed 101 &
"$BUILD/tevra-synth" views "$WORK/b" --count "$COUNT" --seed 202 &
wait
/usr/bin/python3 "$ROOT/tools/train_models.py" --data "$WORK/a" "$WORK/b" --out "$ROOT/models"
rm -rf "$WORK/eval-models"
mkdir -p "$WORK/eval-models"
for m in yolo26n_sign_640 yolo26n_digit_640; do
    # The runtime opens the compiled form; a package with its output shapes
    # filled in by the runtime's own compile is what a download produces.
    cp -r "$ROOT/models/$m.mlpackage" "$WORK/eval-models/$m.mlmodelc"
done
"$BUILD/tevra-synth" eval --models "$WORK/eval-models" --count 200 --empty 200
rm -rf "$WORK"
