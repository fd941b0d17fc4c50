#!/usr/bin/env bash
# The main job: the whole frame path, end to end. Run with --help for what
# it does and prints.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: bash scripts/demo.sh [SECONDS] [WIDTHxHEIGHT] [DEVICES]
       bash scripts/demo.sh --help

Builds the stream tool (native tree) and Skyvane.exe with its stand-ins
(win32 tree), then runs Skyvane.exe under Wine as SYSTEM, started and stopped
through its stop event by the launcher stand-in, with DEVICES simulated USB
display devices whose stand-in virtual monitors show a moving desktop of
WIDTHxHEIGHT for SECONDS seconds. Per device it prints the frames received,
frames per second (limited by the stand-in monitor's frame rate), the mean
bytes per frame and the compression against raw BGRX pixels, the encoder's
mean time per frame inside Skyvane.exe (from the program's frame statistics
line), and the PSNR of the last frame decoded independently (libjpeg-turbo)
against what the monitor showed, with the path of that frame as a PNG.

  SECONDS       1..600, default 5
  WIDTHxHEIGHT  each 1..4096, default 1280x720
  DEVICES       1..8, default 2

Build output goes to build/demo-build.log (its end is printed on failure);
everything the run leaves is under build/demo/.
EOF
}

case "${1:-}" in
  -h | --help) usage; exit 0 ;;
esac
bad() { echo "demo: $1 (see --help)" >&2; exit 2; }
(($# <= 3)) || bad "at most 3 arguments, got $#"
seconds=${1:-5}
mode=${2:-1280x720}
devices=${3:-2}
# At most 4 digits each: a longer number would wrap around in shell
# arithmetic and could pass the range checks as some other value.
[[ $seconds =~ ^[0-9]{1,4}$ ]] && ((10#$seconds >= 1 && 10#$seconds <= 600)) || bad "SECONDS must be 1..600: '$seconds'"
[[ $mode =~ ^([0-9]{1,5})x([0-9]{1,5})$ ]] || bad "WIDTHxHEIGHT expected, each 1..4096: '$mode'"
width=$((10#${BASH_REMATCH[1]})) height=$((10#${BASH_REMATCH[2]}))
((width >= 1 && width <= 4096 && height >= 1 && height <= 4096)) || bad "width and height must be 1..4096: '$mode'"
[[ $devices =~ ^[0-9]{1,4}$ ]] && ((10#$devices >= 1 && 10#$devices <= 8)) || bad "DEVICES must be 1..8: '$devices'"
seconds=$((10#$seconds)) devices=$((10#$devices)) mode=${width}x${height}
# The stand-in virtual monitors deliver frames at this steady rate.
rate=30

cd "$(dirname "$0")/.."
top=$(pwd)
mkdir -p build
buildlog=$top/build/demo-build.log
: >"$buildlog"

# step LABEL COMMAND...: runs quietly into the build log; on failure prints
# the end of that log and stops.
step() {
  local label=$1 start=$SECONDS
  shift
  echo "=== $label" >>"$buildlog"
  if ! "$@" >>"$buildlog" 2>&1 </dev/null; then
    echo "$label: FAILED; the end of $buildlog:" >&2
    tail -n 25 "$buildlog" >&2
    exit 1
  fi
  echo "$label: ok ($((SECONDS - start)) s)"
}

step "packages" bash scripts/bootstrap.sh
step "build native tree (stream tool)" \
  bash -c 'cmake --preset native && cmake --build --preset native --target streamtool'
step "build win32 tree (Skyvane.exe, stand-ins, launcher)" \
  bash -c 'cmake --preset win32 && cmake --build --preset win32 --target skyvane_stage'
echo "full build log: $buildlog"

stage=$top/build/win32/stage
tool=$top/build/native/tools/streamtool/streamtool
work=$top/build/demo
export WINEPREFIX=$top/build/win32/wineprefix WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="winusb,cfgmgr32=n,b" USER=SYSTEM AUVEX_FRAME_RATE=$rate
step "wine server" bash scripts/wine-server.sh start "$WINEPREFIX"
trap 'bash scripts/wine-server.sh stop "$WINEPREFIX" >/dev/null 2>&1' EXIT

rm -rf "$work" && mkdir -p "$work/tmp" "$work/png"
names=()
for ((i = 1; i <= devices; i++)); do names+=("display$i"); done
script=()
for dev in "${names[@]}"; do script+=(-c "plug $dev mode=$mode keep=3"); done
script+=(-c start -c "window 30000")
for dev in "${names[@]}"; do script+=(-c "frames $dev 1 30000"); done
for dev in "${names[@]}"; do script+=(-c "count $dev"); done
script+=(-c "sleep $((seconds * 1000))")
for dev in "${names[@]}"; do script+=(-c "count $dev"); done
script+=(-c stop -c "wait 60000")

raw=$((width * height * 4))
echo "run: Skyvane.exe with $devices device(s) of $mode ($raw bytes of raw BGRX a frame) for $seconds s" \
  "(launcher output: $work/launcher.txt)"
code=0
wine "$stage/SkyLauncher.exe" --sim "$work/sim" --tmp "$work/tmp" --out "$work/stdout.txt" "${script[@]}" \
  </dev/null >"$work/launcher.txt" 2>&1 || code=$?
if [ "$code" -ne 0 ]; then
  echo "demo: the launcher or the program failed (exit code $code); the end of $work/launcher.txt:" >&2
  tail -n 15 "$work/launcher.txt" >&2
  echo "log: $work/tmp/Skyvane.log" >&2
  exit 1
fi
echo "Skyvane.exe exit code: $(sed -n 's/^launcher: exit code //p' "$work/launcher.txt")"

# The last frame statistics line of a device, from the log or (written at
# teardown, after the log closed) from the program's standard output.
stats_of() {
  grep -h "\] frame stats: .* path .*#$1#" "$work/tmp/Skyvane.log" "$work/stdout.txt" 2>/dev/null | tail -n 1
}

status=0
for dev in "${names[@]}"; do
  dir=$work/sim/$dev
  read -r before after < <(awk -v d="$dev" '$2 == d && $3 == "received" { c[n++] = $4 } END { print c[0], c[1] }' \
                             "$work/launcher.txt")
  total=$(wc -l <"$dir/frames.txt")
  fps=$(awk -v a="$after" -v b="$before" -v s="$seconds" 'BEGIN { printf "%.1f", (a - b) / s }')
  read -r mean ratio < <(awk -v raw="$raw" \
    '{ sum += $5 } END { m = NR ? sum / NR : 0; printf "%.0f %.1f\n", m, m ? raw / m : 0 }' "$dir/frames.txt")
  # Three lines a device keep the whole output under 40 lines at 8 devices.
  printf '%s: %s frames received, %s frames/s (the stand-in monitor sends %s/s), %s bytes/frame (%s:1 against raw BGRX)\n' \
    "$dev" "$total" "$fps" "$rate" "$mean" "$ratio"

  line=$(stats_of "$dev")
  if [[ $line =~ encoded\ ([0-9]+)\ written\ ([0-9]+)\ bytes\ [0-9]+\ encode\ ms\ mean\ ([0-9.]+)\ worst\ ([0-9.]+)\ write\ ms\ mean\ ([0-9.]+)\ worst\ [0-9.]+\ failed\ writes\ ([0-9]+) ]]; then
    printf '  encoder in Skyvane.exe: %s ms/frame mean, %s ms worst; bulk write %s ms mean; %s encoded, %s written, %s failed writes\n' \
      "${BASH_REMATCH[3]}" "${BASH_REMATCH[4]}" "${BASH_REMATCH[5]}" "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}" \
      "${BASH_REMATCH[6]}"
  else
    echo "  encoder in Skyvane.exe: no frame statistics line found"
    status=1
  fi

  # The last frame kept on disk, and the desktop frame its monitor showed.
  read -r index w h received saved file < <(awk '$6 != "-" { l = $0 } END { print l }' "$dir/frames.txt")
  wine "$stage/SkyDesktopFrame.exe" "$work/png/$dev.source.bgrx" "$w" "$h" "$index" >/dev/null 2>&1 </dev/null
  png=$work/png/$dev.png
  if out=$("$tool" check "$dir/$file" --size "${w}x${h}" --payload "$dir/quant.bin" \
             --source "$work/png/$dev.source.bgrx" --decode "$png" 2>&1); then
    psnr=$(sed -n 's/^PSNR against .*: \([0-9.]*\) dB$/\1/p' <<<"$out")
    printf '  last frame (%s, %sx%s): PSNR %s dB, decoded to %s\n' "$index" "$w" "$h" "$psnr" "$png"
  else
    printf '  last frame (%s): check failed: %s\n' "$index" "$(head -n 3 <<<"$out")"
    status=1
  fi
  rm -f "$work/png/$dev.source.bgrx"
done

echo "files to look at next:"
echo "  log:             $work/tmp/Skyvane.log"
echo "  program stdout:  $work/stdout.txt (lines written after the log closed, the teardown statistics among them)"
echo "  device streams:  $work/sim/<device>/ (frames.txt lists every frame received; the last 3 are kept)"
exit $status
