// The process's log file: opening with the size probe, rotation to one
// backup, line writing under the log's mutex, and the hand-over to standard
// output while no log is open. Any thread may write; the main thread opens
// and closes.
#include "LogFile.h"

#include <share.h>

#include <cstring>
#include <new>
#include <string>

namespace {

CLogFile* s_pLogFile = nullptr;
std::wstring s_logFilePath;

// Held shared by every writer from the moment it looks the instance up until
// its line is written, and exclusively by Close while it unregisters the
// instance: a writer thus either finishes before the close or finds no
// instance. An SRW lock needs no construction or destruction, so it stays
// usable for lines written while static objects are torn down at exit.
SRWLOCK s_lifetimeLock = SRWLOCK_INIT;

std::wstring BackupPath(const std::wstring& path) { return path + L".1"; }

// Moves the log to its backup, replacing an older backup.
bool MoveToBackup(const std::wstring& path) {
  return MoveFileExW(path.c_str(), BackupPath(path).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// Opens for reading and appending, creating the file if needed, in text mode
// (lines end in CRLF); other processes may read the file but not write it.
FILE* OpenStream(const std::wstring& path) { return _wfsopen(path.c_str(), L"a+t", _SH_DENYWR); }

// Size of an existing log, or 0 when it cannot be probed (missing, or open
// in another process, which keeps this process from rotating it).
DWORD ProbeSize(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  const DWORD size = GetFileSize(h, nullptr);
  CloseHandle(h);
  return size;
}

// Opening: rotate an oversized file first, then open the stream. A rename
// that fails leaves the file in place and it is appended to, like a rotation
// that fails while writing (CLogFile::RotateIfDue). Null when the file cannot
// be opened.
FILE* RotateIfNeededAndOpen(const std::wstring& path) {
  const DWORD size = ProbeSize(path);
  if (size != INVALID_FILE_SIZE && size > static_cast<DWORD>(CLogFile::kRotateThreshold)) MoveToBackup(path);
  return OpenStream(path);
}

void WriteToStdout(const char* szFormat, va_list args) {
  vprintf(szFormat, args);
  // Every line reaches the system at once, as in the file.
  fflush(stdout);
}

}  // namespace

LogLinePrefix::LogLinePrefix(const char* szTagIn, const char* szPrettyFunction)
    : szTime{}, szTag(szTagIn), szFunction{} {
  SYSTEMTIME now;
  GetLocalTime(&now);
  snprintf(szTime, sizeof(szTime), "%04u-%02u-%02u %02u:%02u:%02u", now.wYear % 10000u, now.wMonth % 100u,
           now.wDay % 100u, now.wHour % 100u, now.wMinute % 100u, now.wSecond % 100u);
  threadId = static_cast<int>(GetCurrentThreadId());
  processId = static_cast<int>(GetCurrentProcessId());
  LogFunctionName(szPrettyFunction, szFunction, sizeof(szFunction));
}

namespace {

// The output of LogFunctionName: appends what fits, always terminated.
class CNameWriter {
 public:
  CNameWriter(char* szOut, size_t cchOut) : m_szOut(szOut), m_cchOut(cchOut), m_length(0) { m_szOut[0] = '\0'; }
  void Append(const char* pText, size_t cch) {
    const size_t room = m_cchOut - 1 - m_length;
    if (cch > room) cch = room;
    std::memcpy(m_szOut + m_length, pText, cch);
    m_length += cch;
    m_szOut[m_length] = '\0';
  }
  void Append(const char* szText) { Append(szText, std::strlen(szText)); }

 private:
  char* m_szOut;
  size_t m_cchOut;
  size_t m_length;
};

bool StartsWith(const char* sz, size_t at, size_t n, const char* szPrefix) {
  const size_t cch = std::strlen(szPrefix);
  return n - at >= cch && std::strncmp(sz + at, szPrefix, cch) == 0;
}

// The '(' that opens the parameter list of the name starting at `from`: the
// first one outside template brackets; "operator()" and "operator<" are
// names, not delimiters. n when there is none.
size_t FindParameterList(const char* sz, size_t from, size_t n) {
  int depth = 0;
  for (size_t i = from; i < n; ++i) {
    const char c = sz[i];
    if (i >= 8 && std::strncmp(sz + i - 8, "operator", 8) == 0 && (c == '(' || c == '<' || c == '>')) {
      if (c == '(' && i + 1 < n && sz[i + 1] == ')') ++i;
      continue;
    }
    if (c == '<')
      ++depth;
    else if (c == '>' && depth > 0)
      --depth;
    else if (c == '(' && depth == 0)
      return i;
  }
  return n;
}

// Just past the ')' that closes the '(' at `open`; n when unbalanced.
size_t SkipParentheses(const char* sz, size_t open, size_t n) {
  if (open >= n || sz[open] != '(') return n;
  int depth = 0;
  for (size_t i = open; i < n; ++i) {
    if (sz[i] == '(')
      ++depth;
    else if (sz[i] == ')' && --depth == 0)
      return i + 1;
  }
  return n;
}

// Skips the qualifiers printed after a parameter list (" const",
// " mutable", " &&", ...).
size_t SkipQualifiers(const char* sz, size_t at, size_t n) {
  for (bool skipped = true; skipped;) {
    skipped = false;
    for (const char* szQualifier : {" const", " volatile", " mutable", " &&", " &"}) {
      if (StartsWith(sz, at, n, szQualifier)) {
        at += std::strlen(szQualifier);
        skipped = true;
        break;
      }
    }
  }
  return at;
}

}  // namespace

void LogFunctionName(const char* szPrettyFunction, char* szOut, size_t cchOut) {
  if (cchOut == 0) return;
  CNameWriter out(szOut, cchOut);
  if (szPrettyFunction == nullptr) return;
  const char* const sz = szPrettyFunction;
  const size_t n = std::strlen(sz);

  const size_t open = FindParameterList(sz, 0, n);

  // The name starts after the last blank outside template brackets (the
  // blank that ends the return type and specifiers).
  size_t start = 0;
  int depth = 0;
  for (size_t i = open; i-- > 0;) {
    const char c = sz[i];
    if (c == '>')
      ++depth;
    else if (c == '<' && depth > 0)
      --depth;
    else if (c == ' ' && depth == 0) {
      start = i + 1;
      break;
    }
  }
  // A pointer or reference return type may stick to the name in some
  // spellings ("int* f()" is printed with the blank, but be safe).
  while (start < open && (sz[start] == '*' || sz[start] == '&')) ++start;

  // Names inside an unnamed namespace carry no useful qualifier.
  for (const char* szAnonymous : {"{anonymous}::", "(anonymous namespace)::"}) {
    const size_t cch = std::strlen(szAnonymous);
    if (open - start > cch && std::strncmp(sz + start, szAnonymous, cch) == 0) start += cch;
  }
  out.Append(sz + start, open - start);

  // A function nested in another one (a lambda, a member of a local class)
  // is printed after its enclosing function's parameter list and "::", as
  // in "C::Start()::<lambda()>": keep the enclosing name, then each nested
  // name without its parameters, every lambda as "<lambda>".
  size_t at = SkipParentheses(sz, open, n);
  for (;;) {
    at = SkipQualifiers(sz, at, n);
    if (!StartsWith(sz, at, n, "::")) break;
    at += 2;
    if (StartsWith(sz, at, n, "<lambda(")) {
      at = SkipParentheses(sz, at + 7, n);
      if (at >= n || sz[at] != '>') break;
      ++at;
      out.Append("::<lambda>");
    } else {
      const size_t nestedOpen = FindParameterList(sz, at, n);
      if (nestedOpen == n) break;
      out.Append("::");
      out.Append(sz + at, nestedOpen - at);
      at = SkipParentheses(sz, nestedOpen, n);
    }
  }
}

CLogFile::CLogFile(FILE* pFile) : m_pFile(pFile), m_nextRotationAt(0) {}

CLogFile::~CLogFile() {
  if (m_pFile != nullptr) fclose(m_pFile);
}

CLogFile* CLogFile::Instance(const wchar_t* szPath) {
  if (szPath == nullptr) return s_pLogFile;

  AcquireSRWLockExclusive(&s_lifetimeLock);
  if (s_pLogFile == nullptr) {
    s_logFilePath = szPath;
    if (FILE* pFile = RotateIfNeededAndOpen(s_logFilePath)) {
      s_pLogFile = new (std::nothrow) CLogFile(pFile);
      if (s_pLogFile == nullptr) fclose(pFile);
    }
  }
  CLogFile* pLog = s_pLogFile;
  ReleaseSRWLockExclusive(&s_lifetimeLock);
  return pLog;
}

void CLogFile::Close() {
  AcquireSRWLockExclusive(&s_lifetimeLock);
  CLogFile* pLog = s_pLogFile;
  s_pLogFile = nullptr;
  ReleaseSRWLockExclusive(&s_lifetimeLock);
  // No writer holds pLog any more: each held the shared lock while using it.
  delete pLog;
}

void CLogFile::Write(const char* szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  AcquireSRWLockShared(&s_lifetimeLock);
  // A caller may still hold a pointer from before the close: only a
  // registered instance is touched.
  if (this == s_pLogFile)
    WriteV(szFormat, args);
  else
    WriteToStdout(szFormat, args);
  ReleaseSRWLockShared(&s_lifetimeLock);
  va_end(args);
}

void CLogFile::Emit(const char* szFormat, ...) {
  va_list args;
  va_start(args, szFormat);
  AcquireSRWLockShared(&s_lifetimeLock);
  if (CLogFile* pLog = Instance(nullptr))
    pLog->WriteV(szFormat, args);
  else
    WriteToStdout(szFormat, args);
  ReleaseSRWLockShared(&s_lifetimeLock);
  va_end(args);
}

void CLogFile::WriteV(const char* szFormat, va_list args) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_pFile == nullptr) {
    // Reopening after a rotation failed: try again with every line, so
    // that the log resumes as soon as the file can be opened. The file
    // found then may not be the one whose rename failed (it may have been
    // moved or removed meanwhile): its own size decides the next rotation.
    m_pFile = OpenStream(s_logFilePath);
    if (m_pFile != nullptr) m_nextRotationAt = 0;
  } else {
    RotateIfDue();
  }
  if (m_pFile == nullptr) {
    // The file cannot be opened for now; the line is kept on standard output.
    WriteToStdout(szFormat, args);
    return;
  }
  vfprintf(m_pFile, szFormat, args);
  fflush(m_pFile);
}

void CLogFile::RotateIfDue() {
  // The position is the file's size once a line was written since the
  // (re)open; right after it, it is 0 and no rotation is due yet.
  const long size = ftell(m_pFile);
  if (size <= kRotateThreshold || size < m_nextRotationAt) return;
  // Our own stream does not share delete access, so it is closed before the
  // rename; no later line can reach the closed stream.
  fclose(m_pFile);
  // Microsoft's documentation of CreateFile's sharing modes: while a handle
  // without FILE_SHARE_DELETE is open, no other open may ask for delete
  // access; its file-system documentation of renames: a rename is a delete
  // of the old name, and one that replaces its target (MoveFileExW with
  // MOVEFILE_REPLACE_EXISTING) deletes that file too, which fails while
  // handles to it are open. So a reader holding the log or the backup that
  // way makes the rename fail for as long as it holds it. The lines then go
  // on into the same file, and the rename is tried again only after
  // kRotateRetryBytes more: not with every line.
  const bool moved = MoveToBackup(s_logFilePath);
  m_nextRotationAt = moved ? 0 : size + kRotateRetryBytes;
  // A fresh file after the move, the same one appended to otherwise.
  m_pFile = OpenStream(s_logFilePath);
}
