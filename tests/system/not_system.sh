#!/usr/bin/env bash
# Skyvane started under an account other than SYSTEM: it must end at once
# with exit code 0, write no log, open no device and make no window.
#   not_system.sh STAGE_DIR WORK_DIR
# Runs under the account named by USER (Wine reports it to GetUserNameW).
set -u
stage=$1 work=$2
rm -rf "$work" && mkdir -p "$work/tmp"
# A program that kept running would make the launcher fail with 204.
wine "$stage/SkyLauncher.exe" --sim "$work/sim" --tmp "$work/tmp" --out "$work/stdout.txt" \
  -c "plug dev1" -c start -c "wait 20000" </dev/null
code=$?
status=0
[ "$code" -eq 0 ] || { echo "launcher/program exit code $code, expected 0"; status=1; }
[ ! -e "$work/tmp/Skyvane.log" ] || { echo "a log file was written"; status=1; }
[ ! -e "$work/sim/dev1/usb.log" ] || { echo "the device was opened"; status=1; }
[ ! -s "$work/stdout.txt" ] || { echo "the program wrote:"; cat "$work/stdout.txt"; status=1; }
[ $status -eq 0 ] && echo "not SYSTEM: ended at once with 0, no log, no device, no output"
exit $status
