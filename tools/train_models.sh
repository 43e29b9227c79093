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
COUNT=${2:-1500}
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
for s in 101 202 303 404; do
    "$BUILD/tevra-synth" views "$WORK/v$s" --count "$COUNT" --seed $s &
done
wait
# The committed models were trained with these step counts; with a step
# count the run repeats exactly (same views, same seed, same models).
/usr/bin/python3 "$ROOT/tools/train_models.py" --data "$WORK"/v101 "$WORK"/v202 "$WORK"/v303 "$WORK"/v404 \
    --out "$ROOT/models" --sign-steps 3000 --digit-steps 1500
# Held-out views (other seeds than the training views), four runs in parallel.
for s in 1 2 3 4; do
    "$BUILD/tevra-synth" eval --models "$ROOT/models" --count 50 --empty 50 --seed $((900000 + s)) &
done
wait
rm -rf "$WORK"
