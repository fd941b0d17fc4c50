#!/usr/bin/env bash
# demo.sh's arguments: every bad one is refused with exit code 2 and a message
# naming the argument, before anything is built or run.
# Usage: demo_args.sh PATH_TO_DEMO_SH
set -uo pipefail
demo=$1
bashbin=$(command -v bash)
status=0

# bad arguments | words the refusal must contain
cases=(
  "0|SECONDS"
  "601|SECONDS"
  "abc|SECONDS"
  "-5|SECONDS"
  "18446744073709551716|SECONDS"
  "5 1280|WIDTHxHEIGHT"
  "5 0x720|1..4096"
  "5 4097x720|1..4096"
  "5 1280x18446744073709552336|WIDTHxHEIGHT"
  "5 1280x720 0|DEVICES"
  "5 1280x720 9|DEVICES"
  "5 1280x720 18446744073709551618|DEVICES"
  "5 1280x720 2 extra|at most 3 arguments"
)
for c in "${cases[@]}"; do
  args=${c%%|*} want=${c#*|}
  # No PATH: should the check let the arguments through, the script stops at
  # its first external command instead of building.
  # shellcheck disable=SC2086
  out=$(PATH=/nonexistent "$bashbin" "$demo" $args 2>&1 </dev/null)
  code=$?
  if [ "$code" -ne 2 ] || [[ $out != *"$want"* ]]; then
    echo "FAIL: '$args': exit code $code, output: $out (expected code 2 and '$want')"
    status=1
  fi
done

out=$("$bashbin" "$demo" --help 2>&1 </dev/null)
code=$?
if [ "$code" -ne 0 ] || [[ $out != *"usage: bash scripts/demo.sh [SECONDS] [WIDTHxHEIGHT] [DEVICES]"* ]]; then
  echo "FAIL: --help: exit code $code, output: $out"
  status=1
fi
exit $status
