// log_probe.exe: runs one log scenario in a process of its own, so that the
// log tests can see what reaches standard output and can play a second
// process of the program.
//
//   log_probe second <log path>              open an already open log, log one line
//   log_probe race <log path> <threads> <n>  writers on several threads while the log closes
//   log_probe rotfail <directory>            a rotation whose rename fails, then recovers
//                                            (2000 lines "line D <n>" after the failure)
//   log_probe nolog <log path>               lines before the log opens and after it closes
//
// Exit code 0 when the scenario ran as planned.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "LogFile.h"
#include "LogTestSupport.h"

namespace {

std::wstring Widen(const char* sz) {
  std::string s(sz);
  return std::wstring(s.begin(), s.end());
}

int SecondProcess(const std::wstring& path) {
  CLogFile* pLog = CLogFile::Instance(path.c_str());
  LOG_INFO("%s [%04d/%04d] %s [%s] second process line %d\n", 1);
  LOG_ERROR("%s [%04d/%04d] %s [%s] second process line %d\n", 2);
  return pLog == nullptr ? 0 : 10;
}

int Race(const std::wstring& path, int threads, int lines) {
  if (CLogFile::Instance(path.c_str()) == nullptr) return 20;
  std::atomic<int> written{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([t, lines, &written] {
      for (int i = 0; i < lines; ++i) {
        LOG_INFO("%s [%04d/%04d] %s [%s] race %d %d end\n", t, i);
        ++written;
      }
    });
  }
  // Close while the writers are in full flow.
  const int total = threads * lines;
  while (written.load() < total / 3) Sleep(0);
  CLogFile::Close();
  for (std::thread& w : writers) w.join();
  return written.load() == total ? 0 : 21;
}

int RotationFails(const std::wstring& dir) {
  const std::wstring path = dir + L"\\Skyvane.log";
  const std::wstring backup = path + L".1";
  // Exactly at the threshold: kept at opening; the first line takes it over.
  if (!logtest::MakeFilledFile(path, CLogFile::kRotateThreshold)) return 30;
  if (CLogFile::Instance(path.c_str()) == nullptr) return 31;
  LOG_INFO("%s [%04d/%04d] %s [%s] line A\n");
  // A directory in the backup's place makes the rename fail.
  if (!CreateDirectoryW(backup.c_str(), nullptr)) return 32;
  LOG_INFO("%s [%04d/%04d] %s [%s] line B\n");
  LOG_INFO("%s [%04d/%04d] %s [%s] line C\n");
  if (!RemoveDirectoryW(backup.c_str())) return 33;
  // More than the retry interval: the rotation is tried again among them.
  for (int i = 0; i < 2000; ++i) LOG_INFO("%s [%04d/%04d] %s [%s] line D %d\n", i);
  CLogFile::Close();
  return 0;
}

// One line before the log is opened, one while it is open, one after it is
// closed: the first and the last go to standard output.
int NoLog(const std::wstring& path) {
  if (CLogFile::Instance(nullptr) != nullptr) return 40;
  LOG_INFO("%s [%04d/%04d] %s [%s] before open %d hr %X\n", 1, 0x8007000Eu);
  if (CLogFile::Instance(path.c_str()) == nullptr) return 41;
  LOG_INFO("%s [%04d/%04d] %s [%s] while open %d\n", 2);
  CLogFile::Close();
  LOG_ERROR("%s [%04d/%04d] %s [%s] after close %S\n", L"wide");
  return CLogFile::Instance(nullptr) == nullptr ? 0 : 42;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  const std::wstring target = Widen(argv[2]);
  if (mode == "second") return SecondProcess(target);
  if (mode == "race" && argc == 5) return Race(target, std::atoi(argv[3]), std::atoi(argv[4]));
  if (mode == "rotfail") return RotationFails(target);
  if (mode == "nolog") return NoLog(target);
  return 3;
}
