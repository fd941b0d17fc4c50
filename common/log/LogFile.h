// The process's one log: CLogFile, and LOG_INFO / LOG_ERROR, which every
// component of the program uses to write a diagnostic line.
//
// Every line is "<time> [<pid>/<tid>] <tag> [<function>] <message>" produced
// from one format string whose fixed prefix is SKY_LOG_PREFIX; the macros put
// it in front of the call site's format, which holds the message alone
// (LOG_INFO("Init succ path is %S\n", ...)). While a log is
// open, lines go to the file (rotated above 10,485,760 bytes to one backup,
// the path with ".1" appended; while the rename is impossible, the file grows
// on and the rotation is tried again later); otherwise to standard output.
//
// Threads: any thread may log. The main thread opens the log before other
// threads start and closes it at the end; a writer racing with the close
// either finishes its line in the file first or finds no log and writes to
// standard output. The log's locks are always the innermost ones taken.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>

// The prefix values of one line, gathered the moment the line is logged.
struct LogLinePrefix {
  char szTime[20];  // "%Y-%m-%d %H:%M:%S": 19 characters
  int processId;
  int threadId;
  const char* szTag;     // "[INFO]  " or "[ERROR] "
  char szFunction[128];  // "Class::Method", the bare name of a free function, or a nested name

  LogLinePrefix(const char* szTagIn, const char* szPrettyFunction);
};

class CLogFile {
 public:
  // Files above this many bytes are rotated (strictly greater).
  static constexpr long kRotateThreshold = 10485760;
  // After a rotation that could not rename the file (a reader holds the log
  // or its backup without delete sharing), lines are appended to the same
  // file and the next attempt waits until this many more bytes were written.
  static constexpr long kRotateRetryBytes = 65536;

  // With a path and no open log: opens the log (rotating an oversized one
  // first) and returns it, or null when it cannot be opened. Otherwise
  // returns the current log, which may be null.
  static CLogFile* Instance(const wchar_t* szPath);

  // Closes the log opened by Instance(path): lines written afterwards go to
  // standard output. Waits for lines being written to finish. Safe to call
  // when no log is open.
  static void Close();

  // Appends one line, rotating first when the file is over the threshold.
  // A line that cannot go to the file goes to standard output instead.
  void Write(const char* szFormat, ...) __attribute__((format(gnu_printf, 2, 3)));

  // Back end of LOG_INFO and LOG_ERROR: the line goes to the open log, or to
  // standard output when there is none.
  static void Emit(const char* szFormat, ...) __attribute__((format(gnu_printf, 1, 2)));

  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

 private:
  explicit CLogFile(FILE* pFile);
  ~CLogFile();

  void WriteV(const char* szFormat, va_list args);
  // Under m_mutex: moves the log to its backup and starts a fresh file when
  // the file is over the threshold and no failed attempt is too recent.
  void RotateIfDue();

  FILE* m_pFile;  // null after a reopen that failed
  // Position from which the next rotation may be tried; 0 when no attempt failed.
  long m_nextRotationAt;
  std::mutex m_mutex;
};

// Extracts "Class::Method" or "Function" from a __PRETTY_FUNCTION__ text into
// szOut (always terminated; truncated to cchOut - 1 characters). A function
// nested in another one comes out as the enclosing name, "::" and the nested
// name, a lambda as "<lambda>": "CMonitorProcessor::Start::<lambda>".
void LogFunctionName(const char* szPrettyFunction, char* szOut, size_t cchOut);

// The fixed start of every line's format, filled from a LogLinePrefix: time,
// process id, thread id, tag, function name.
#define SKY_LOG_PREFIX "%s [%04d/%04d] %s [%s] "

// Whether a message format already begins with SKY_LOG_PREFIX, which the
// macros add themselves: the prefix would be written twice and the message's
// own arguments would fill its conversions.
constexpr bool LogFormatRepeatsPrefix(const char* szFormat) {
  for (const char* szPrefix = SKY_LOG_PREFIX; *szPrefix != '\0'; ++szPrefix, ++szFormat)
    if (*szFormat != *szPrefix) return false;
  return true;
}

// format_ must be a string literal: it is joined to the prefix at compile
// time, so that Emit's gnu_printf check sees the whole format with every
// argument.
#define SKY_LOG_LINE_(tag_, format_, ...)                                                                         \
  do {                                                                                                            \
    static_assert(!LogFormatRepeatsPrefix(format_), "LOG_INFO and LOG_ERROR add the prefix");                     \
    const LogLinePrefix skyLogPrefix_((tag_), __PRETTY_FUNCTION__);                                               \
    CLogFile::Emit(SKY_LOG_PREFIX format_, skyLogPrefix_.szTime, skyLogPrefix_.processId, skyLogPrefix_.threadId, \
                   skyLogPrefix_.szTag, skyLogPrefix_.szFunction __VA_OPT__(, ) __VA_ARGS__);                     \
  } while (0)

#define LOG_INFO(format_, ...) SKY_LOG_LINE_("[INFO]  ", format_ __VA_OPT__(, ) __VA_ARGS__)
#define LOG_ERROR(format_, ...) SKY_LOG_LINE_("[ERROR] ", format_ __VA_OPT__(, ) __VA_ARGS__)
