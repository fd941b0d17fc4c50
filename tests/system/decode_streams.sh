#!/usr/bin/env bash
# Decodes what each simulated device received with the native stream tool
# (libjpeg-turbo) and checks the last frame of every device against the
# source frame the virtual monitor showed.
#
#   decode_streams.sh STREAMTOOL SIMDIR MIN_PSNR [PNG_DIR]
#
# SIMDIR holds one folder per device (frames.txt, frames/, quant.bin) and
# sources.txt: the first line "WxH", then the raw BGRX source files (names
# relative to SIMDIR) that the monitors cycle through, in order; device frame
# k shows source k mod N. Prints one line per device; exit 0 when every
# device's frames validate and reach MIN_PSNR, 77 when the tool is missing.
set -u
tool=$1 sim=$2 min=$3 pngdir=${4:-}
if [ ! -x "$tool" ]; then
  echo "stream tool $tool not built (build the native tree): decode skipped"
  exit 77
fi
[ -f "$sim/sources.txt" ] || { echo "no $sim/sources.txt"; exit 1; }
mapfile -t sources < <(tail -n +2 "$sim/sources.txt")
size=$(head -n 1 "$sim/sources.txt")
status=0 devices=0
for dev in "$sim"/*/; do
  dev=${dev%/}
  [ -f "$dev/frames.txt" ] || continue
  name=$(basename "$dev")
  devices=$((devices + 1))
  # The last frame that was kept on disk and was sent at the source's size.
  line=$(awk -v s="$size" '$6 != "-" && ($2 "x" $3) == s { l = $0 } END { print l }' "$dev/frames.txt")
  if [ -z "$line" ]; then
    echo "$name: no frame of $size kept"; status=1; continue
  fi
  read -r index w h received saved file <<<"$line"
  src=$sim/${sources[$((index % ${#sources[@]}))]}
  args=(check "$dev/$file" --size "${w}x${h}" --payload "$dev/quant.bin" --source "$src")
  [ -n "$pngdir" ] && args+=(--decode "$pngdir/$name.png")
  if ! out=$("$tool" "${args[@]}" 2>&1); then
    echo "$name: frame $index does not decode: $out"; status=1; continue
  fi
  psnr=$(sed -n 's/^PSNR against .*: \([0-9.]*\) dB$/\1/p' <<<"$out")
  echo "$name: frame $index ($saved bytes) decodes, PSNR $psnr dB"
  if ! awk -v p="$psnr" -v m="$min" 'BEGIN { exit !(p + 0 >= m + 0) }'; then
    echo "$name: PSNR $psnr dB is below $min dB"; status=1
  fi
done
[ $devices -gt 0 ] || { echo "no device in $sim"; exit 1; }
exit $status
