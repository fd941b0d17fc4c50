#!/usr/bin/env bash
# start PREFIX: initialise the 32-bit Wine prefix once and start a persistent
#               wineserver whose output goes nowhere.
# stop PREFIX:  stop that server (and every Wine process of the prefix).
set -u
action=$1
export WINEPREFIX=$2 WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko installer dialogs while the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
case "$action" in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 </dev/null
    fi
    wineserver -p >/dev/null 2>&1 </dev/null
    # No X display on build machines: windows (Skyvane's hidden message
    # window included) need Wine's null graphics driver, and a crashing GUI
    # program must not wait for ever on an invisible crash dialog. A crashing
    # test ends at once instead of starting the debugger (the program's own
    # crash filter still runs first). Set once per prefix.
    if [ ! -f "$WINEPREFIX/.sky-headless-2" ]; then
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null &&
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
          >/dev/null 2>&1 </dev/null &&
        wine reg add 'HKCU\Software\Wine\DllOverrides' /v winedbg.exe /d '' /f \
          >/dev/null 2>&1 </dev/null &&
        wineserver -k >/dev/null 2>&1 </dev/null && touch "$WINEPREFIX/.sky-headless-2"
      wineserver -p >/dev/null 2>&1 </dev/null
    fi
    # A first trivial program warms the server so that tests start in ~0.1 s.
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    exit 0
    ;;
  stop)
    wineserver -k >/dev/null 2>&1 </dev/null
    exit 0
    ;;
esac
echo "usage: $0 start|stop PREFIX" >&2
exit 2
