#!/usr/bin/env bash
# The main job: the frame path on sample frames. Encodes each shared frame
# with our encoder, validates every strip, decodes the stream independently
# with libjpeg-turbo and prints size, speed and PSNR; decoded pictures are
# written as PNG files whose paths are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset native >/dev/null
cmake --build --preset native --target streamtool >/dev/null
frames=../shared/frames
out=build/demo
mkdir -p "$out"
for frame in "$frames"/*.png; do
  ./build/native/tools/streamtool/streamtool roundtrip "$frame" --out-dir "$out"
done
