// Escaping of outside text for the log (see LogText.h).
#include "LogText.h"

#include <cwchar>

namespace {

void AppendEscaped(std::wstring& out, const wchar_t* pText, size_t cch) {
  out.reserve(cch);
  for (size_t i = 0; i < cch; ++i) {
    const wchar_t c = pText[i];
    if (c >= 0x20 && c <= 0x7E) {
      out.push_back(c);
      continue;
    }
    wchar_t escape[8];
    if (static_cast<unsigned>(c) < 0x100)
      swprintf(escape, 8, L"\\x%02X", static_cast<unsigned>(c));
    else
      swprintf(escape, 8, L"\\u%04X", static_cast<unsigned>(c) & 0xFFFFu);
    out += escape;
  }
}

}  // namespace

std::wstring LogText(const wchar_t* szText) {
  if (szText == nullptr) return L"(null)";
  std::wstring out;
  AppendEscaped(out, szText, wcslen(szText));
  return out;
}

std::wstring LogText(const std::wstring& text) {
  std::wstring out;
  AppendEscaped(out, text.data(), text.size());
  return out;
}
