// SkyLauncher: starts Skyvane.exe the way the real launcher does and plays
// the machine around it from a script.
//
//   SkyLauncher [--exe PATH] [--sim DIR] [--out FILE] [--tmp DIR]
//               [--no-stop-event] [--script FILE] [-c "COMMAND ARGS"]...
//
// --exe   the program (default: Skyvane.exe beside the launcher)
// --sim   the simulated devices' directory (default: SKY_USBSIM_DIR)
// --out   the program's standard output and error go to this file
// --tmp   the program's temporary directory (TMP and TEMP: log and dumps)
// Commands, one per line of the script or per -c, run in order:
//   plug NAME [mode=WxH] [edid=256|128|none] [keep=N]   present before start
//   start                    create the stop event (unless --no-stop-event), start
//   window MS                wait for the program's window
//   sleep MS
//   arrive NAME [options]    plug in and broadcast the arrival
//   remove NAME              unplug and broadcast the removal
//   remove-othercase NAME    broadcast a removal of the path in swapped case
//   forge-arrive PATH        broadcast an arrival of any path, listing nothing
//   forge-remove NAME        broadcast a removal of a device left plugged in
//   query-remove NAME        handle notification DBT_DEVICEQUERYREMOVE for the
//                            device's last opened file handle
//   query-remove-failed NAME the same with DBT_DEVICEQUERYREMOVEFAILED
//   quit CODE                post WM_QUIT with that code to the program's window
//   volume                   broadcast a volume arrival (not an interface)
//   display [WxH]            WM_DISPLAYCHANGE
//   frames NAME COUNT MS     wait until the device has received COUNT frames
//   count NAME               print "launcher: NAME received N frames"
//   cycle NAME COUNT MS      COUNT times: arrive, wait for a new frame, remove
//   stop                     signal the stop event
//   wait MS                  wait for the program to end
// Exit code: the program's exit code after `wait`; 200 and above when the
// launcher itself failed (bad command 200, start 201, window 202, frames 203,
// time-out 204, broadcast 205, stop event 206).
#include "Launcher.h"

#include <dbt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SimState.h"

using launcher::Launcher;

namespace {

std::vector<std::wstring> Split(const std::wstring& line) {
  std::vector<std::wstring> words;
  size_t pos = 0;
  while ((pos = line.find_first_not_of(L" \t\r\n", pos)) != std::wstring::npos) {
    size_t end = line.find_first_of(L" \t\r\n", pos);
    if (end == std::wstring::npos) end = line.size();
    words.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return words;
}

bool ParseDevice(const std::vector<std::wstring>& words, usbsim::DeviceConfig& device) {
  std::wstring line;
  for (size_t i = 1; i < words.size(); ++i) line += words[i] + L" ";
  return usbsim::ParseDeviceLine(usbsim::Narrow(line), device);
}

DWORD Number(const std::vector<std::wstring>& words, size_t i, DWORD fallback) {
  return i < words.size() ? DWORD(wcstoul(words[i].c_str(), nullptr, 10)) : fallback;
}

struct Runner {
  Launcher& run;
  std::wstring exe, out;
  bool stopEvent = true;
  DWORD exitCode = 0;

  int Fail(int code, const std::wstring& what) {
    fwprintf(stderr, L"launcher: %ls failed\n", what.c_str());
    return code;
  }

  // 0 to go on, else the launcher's exit code.
  int Do(const std::wstring& line) {
    auto w = Split(line);
    if (w.empty() || w[0][0] == L'#') return 0;
    const std::wstring& cmd = w[0];
    usbsim::DeviceConfig device;
    wprintf(L"launcher: %ls\n", line.c_str());
    fflush(stdout);
    if (cmd == L"plug") {
      if (!ParseDevice(w, device) || !run.Plug(device)) return Fail(200, line);
    } else if (cmd == L"start") {
      if (stopEvent && !run.CreateStopEvent()) return Fail(206, L"CreateEvent");
      if (!run.Start(exe, out)) return Fail(201, L"start " + exe);
    } else if (cmd == L"window") {
      if (!run.WaitForWindow(Number(w, 1, 10000))) return Fail(202, line);
    } else if (cmd == L"sleep") {
      Sleep(Number(w, 1, 1000));
    } else if (cmd == L"arrive") {
      if (!ParseDevice(w, device) || !run.Arrive(device)) return Fail(205, line);
    } else if (cmd == L"remove" && w.size() == 2) {
      if (!run.Remove(w[1])) return Fail(205, line);
    } else if (cmd == L"remove-othercase" && w.size() == 2) {
      std::wstring path = launcher::SwapCase(run.DevicePath(w[1]));
      if (!run.BroadcastInterface(DBT_DEVICEREMOVECOMPLETE, path)) return Fail(205, line);
    } else if (cmd == L"forge-arrive" && w.size() == 2) {
      if (!run.BroadcastInterface(DBT_DEVICEARRIVAL, w[1])) return Fail(205, line);
    } else if (cmd == L"forge-remove" && w.size() == 2) {
      if (!run.BroadcastInterface(DBT_DEVICEREMOVECOMPLETE, run.DevicePath(w[1]))) return Fail(205, line);
    } else if ((cmd == L"query-remove" || cmd == L"query-remove-failed") && w.size() == 2) {
      WPARAM event = cmd == L"query-remove" ? DBT_DEVICEQUERYREMOVE : DBT_DEVICEQUERYREMOVEFAILED;
      if (!run.BroadcastHandle(event, w[1])) return Fail(205, line);
    } else if (cmd == L"quit" && w.size() == 2) {
      if (!run.Post(WM_QUIT, Number(w, 1, 0), 0)) return Fail(205, line);
    } else if (cmd == L"volume") {
      if (!run.BroadcastVolume(DBT_DEVICEARRIVAL)) return Fail(205, line);
    } else if (cmd == L"display") {
      int width = 1920, height = 1080;
      if (w.size() > 1) swscanf(w[1].c_str(), L"%dx%d", &width, &height);
      if (!run.DisplayChange(width, height)) return Fail(205, line);
    } else if (cmd == L"frames" && w.size() == 4) {
      if (!run.WaitForFrames(w[1], Number(w, 2, 1), Number(w, 3, 10000))) return Fail(203, line);
    } else if (cmd == L"count" && w.size() == 2) {
      wprintf(L"launcher: %ls received %u frames\n", w[1].c_str(), unsigned(run.FramesReceived(w[1])));
    } else if (cmd == L"cycle" && w.size() == 4) {
      device.name = w[1];
      for (DWORD i = 0, n = Number(w, 2, 1); i < n; ++i) {
        size_t before = run.FramesReceived(w[1]);
        if (!run.Arrive(device)) return Fail(205, line);
        if (!run.WaitForFrames(w[1], before + 1, Number(w, 3, 10000))) return Fail(203, line);
        if (!run.Remove(w[1])) return Fail(205, line);
      }
    } else if (cmd == L"stop") {
      if (!run.SignalStop()) return Fail(206, L"SetEvent");
    } else if (cmd == L"wait") {
      if (!run.WaitForExit(Number(w, 1, 30000), &exitCode)) {
        run.Kill();
        return Fail(204, line);
      }
      wprintf(L"launcher: exit code %lu\n", exitCode);
    } else {
      return Fail(200, L"unknown command " + line);
    }
    fflush(stdout);
    return 0;
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring simDir = usbsim::SimDirectory();
  std::wstring exe = launcher::ExeDirectory() + L"\\Skyvane.exe";
  std::wstring out;
  bool stopEvent = true;
  std::vector<std::wstring> commands;
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    bool more = i + 1 < argc;
    if (a == L"--exe" && more)
      exe = usbsim::ToWindowsPath(argv[++i]);
    else if (a == L"--sim" && more)
      simDir = usbsim::ToWindowsPath(argv[++i]);
    else if (a == L"--out" && more)
      out = usbsim::ToWindowsPath(argv[++i]);
    else if (a == L"--tmp" && more) {
      std::wstring tmp = usbsim::ToWindowsPath(argv[++i]);
      SetEnvironmentVariableW(L"TMP", tmp.c_str());
      SetEnvironmentVariableW(L"TEMP", tmp.c_str());
    } else if (a == L"--no-stop-event")
      stopEvent = false;
    else if (a == L"-c" && more)
      commands.push_back(argv[++i]);
    else if (a == L"--script" && more) {
      FILE* f = _wfopen(usbsim::ToWindowsPath(argv[++i]).c_str(), L"r");
      if (!f) {
        fwprintf(stderr, L"launcher: cannot read %ls\n", argv[i]);
        return 200;
      }
      char line[512];
      while (fgets(line, sizeof line, f)) commands.push_back(usbsim::Widen(line));
      fclose(f);
    } else {
      fwprintf(stderr, L"launcher: unknown argument %ls\n", a.c_str());
      return 200;
    }
  }
  if (simDir.empty()) {
    fwprintf(stderr, L"launcher: no simulated devices' directory (--sim or SKY_USBSIM_DIR)\n");
    return 200;
  }
  CreateDirectoryW(simDir.c_str(), nullptr);
  if (commands.empty()) commands = {L"start", L"window 10000", L"sleep 3000", L"stop", L"wait 30000"};

  Launcher run(simDir);
  Runner runner{run, exe, out, stopEvent};
  for (const auto& c : commands) {
    if (int code = runner.Do(c)) return code;
  }
  return int(runner.exitCode);
}
