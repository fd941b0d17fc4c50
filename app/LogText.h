// Text that comes from outside the process (device paths, names) made fit
// for one log line: LOG_INFO("... path is %S\n", LogText(path).c_str()).
//
// Threads: any; no state.
#pragma once

#include <string>

// A copy of the text in which every code unit outside printable ASCII
// (0x20..0x7E) is written as an escape: "\xHH" below 0x100 (a line feed is
// "\x0A"), "\uHHHH" above. A line break inside the text thus never starts a
// forged line, and the wide-to-narrow conversion of %S never meets a
// character it cannot write. A null pointer gives "(null)".
std::wstring LogText(const wchar_t* szText);
std::wstring LogText(const std::wstring& text);
