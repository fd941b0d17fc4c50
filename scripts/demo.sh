#!/usr/bin/env bash
# The main job: the whole frame path, end to end.
#
# Builds both trees, then runs the shipped Skyvane.exe under Wine as SYSTEM,
# started by the launcher stand-in with two simulated USB display devices
# and the stand-in virtual monitors (a moving desktop). After a few seconds
# the launcher signals the stop event. Then, for each device, it prints the
# frames received, frames per second, mean bytes per frame and the PSNR of
# the last frame as decoded independently (libjpeg-turbo) against what the
# monitor showed, and writes that decoded frame as a PNG.
#
#   bash scripts/demo.sh [SECONDS] [WIDTHxHEIGHT]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
seconds=${1:-5}
mode=${2:-1280x720}

bash scripts/bootstrap.sh
echo "=== build: native tree (stream tool)"
cmake --preset native >/dev/null
cmake --build --preset native --target streamtool
echo "=== build: win32 tree (Skyvane.exe, stand-ins, launcher)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target skyvane_stage

stage=$top/build/win32/stage
tool=$top/build/native/tools/streamtool/streamtool
work=$top/build/demo
export WINEPREFIX=$top/build/win32/wineprefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="winusb,cfgmgr32=n,b" USER=SYSTEM
bash scripts/wine-server.sh start "$WINEPREFIX"
trap 'bash scripts/wine-server.sh stop "$WINEPREFIX"' EXIT

rm -rf "$work" && mkdir -p "$work/tmp" "$work/png"
echo "=== run: Skyvane.exe with two devices of $mode for $seconds s"
wine "$stage/SkyLauncher.exe" --sim "$work/sim" --tmp "$work/tmp" --out "$work/stdout.txt" \
  -c "plug display1 mode=$mode keep=3" -c "plug display2 mode=$mode keep=3" \
  -c start -c "window 30000" -c "frames display1 1 30000" -c "frames display2 1 30000" \
  -c "count display1" -c "count display2" -c "sleep $((seconds * 1000))" \
  -c "count display1" -c "count display2" -c stop -c "wait 60000" </dev/null | tee "$work/launcher.txt"
code=${PIPESTATUS[0]}
if [ "$code" -ne 0 ]; then
  echo "demo: the launcher or the program failed (exit code $code); log: $work/tmp/Skyvane.log" >&2
  exit 1
fi

echo "=== result (log: $work/tmp/Skyvane.log)"
status=0
for dev in display1 display2; do
  dir=$work/sim/$dev
  read -r before after < <(awk -v d="$dev" '$2 == d && $3 == "received" { c[n++] = $4 } END { print c[0], c[1] }' \
                             "$work/launcher.txt")
  total=$(wc -l <"$dir/frames.txt")
  fps=$(awk -v a="$after" -v b="$before" -v s="$seconds" 'BEGIN { printf "%.1f", (a - b) / s }')
  mean=$(awk '{ sum += $5 } END { printf "%.0f", NR ? sum / NR : 0 }' "$dir/frames.txt")
  # The last frame kept on disk, and the desktop frame its monitor showed.
  read -r index w h received saved file < <(awk '$6 != "-" { l = $0 } END { print l }' "$dir/frames.txt")
  wine "$stage/SkyDesktopFrame.exe" "$work/png/$dev.source.bgrx" "$w" "$h" "$index" >/dev/null </dev/null
  png=$work/png/$dev.png
  if out=$("$tool" check "$dir/$file" --size "${w}x${h}" --payload "$dir/quant.bin" \
             --source "$work/png/$dev.source.bgrx" --decode "$png" 2>&1); then
    psnr=$(sed -n 's/^PSNR against .*: \([0-9.]*\) dB$/\1/p' <<<"$out")
  else
    psnr="n/a ($out)"
    status=1
  fi
  rm -f "$work/png/$dev.source.bgrx"
  printf '%s: %s frames received, %s frames/s, %s bytes/frame on average, %s dB PSNR (frame %s, %sx%s)\n' \
    "$dev" "$total" "$fps" "$mean" "$psnr" "$index" "$w" "$h"
  printf '  last frame decoded: %s\n' "$png"
done
echo "Skyvane.exe exit code: $(sed -n 's/^launcher: exit code //p' "$work/launcher.txt")"
exit $status
