// String functions of kernel32, shlwapi and strsafe, with Windows' semantics: wide "%s" in the
// printf family, failure instead of truncation in StringCch*, NULL-tolerant lstr* functions.
#include <cstdarg>
#include <cwchar>
#include <cwctype>
#include <string>

#include "platform/sim/kernel/names.h"
#include "platform/sim/strings/internal.h"
#include "platform/sim/strings/strsafe.h"

namespace {

wchar_t Fold(wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); }

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

int CompareNoCase(const wchar_t* a, const wchar_t* b, long limit) {
  for (long i = 0; limit < 0 || i < limit; ++i) {
    wchar_t ca = Fold(a[i]);
    wchar_t cb = Fold(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

// Formats with the Windows conventions of the wide printf family: %s and %ls take wide text,
// %hs and %S narrow text; flags, width and precision as in C.
bool FormatWide(std::wstring* out, const wchar_t* format, va_list args) {
  for (const wchar_t* p = format; *p; ++p) {
    if (*p != L'%') {
      out->push_back(*p);
      continue;
    }
    ++p;
    if (*p == L'%') {
      out->push_back(L'%');
      continue;
    }
    std::wstring spec = L"%";
    while (*p == L'-' || *p == L'0' || *p == L'+' || *p == L' ' || *p == L'#') spec.push_back(*p++);
    while (std::iswdigit(static_cast<wint_t>(*p))) spec.push_back(*p++);
    if (*p == L'.') {
      spec.push_back(*p++);
      while (std::iswdigit(static_cast<wint_t>(*p))) spec.push_back(*p++);
    }
    enum { kNone, kShort, kLong, kLongLong, kSize } size = kNone;
    if (*p == L'h') {
      size = kShort;
      ++p;
    } else if (*p == L'l') {
      size = kLong;
      ++p;
      if (*p == L'l') {
        size = kLongLong;
        ++p;
      }
    } else if (*p == L'I' && p[1] == L'6' && p[2] == L'4') {
      size = kLongLong;
      p += 3;
    } else if (*p == L'z') {
      size = kSize;
      ++p;
    }
    wchar_t conv = *p;
    if (conv == 0) return false;
    wchar_t buffer[512];
    int n = -1;
    switch (conv) {
      case L's':
      case L'S': {
        bool narrow = (conv == L'S') != (size == kShort);
        std::wstring text;
        if (narrow) {
          const char* s = va_arg(args, const char*);
          for (const char* q = s ? s : "(null)"; *q; ++q)
            text.push_back(static_cast<unsigned char>(*q));
        } else {
          const wchar_t* s = va_arg(args, const wchar_t*);
          text = s ? s : L"(null)";
        }
        spec += L"ls";
        std::wstring formatted(text.size() + 512, L'\0');
        n = std::swprintf(formatted.data(), formatted.size(), spec.c_str(), text.c_str());
        if (n < 0) return false;
        out->append(formatted.data(), static_cast<size_t>(n));
        continue;
      }
      case L'c': out->push_back(static_cast<wchar_t>(va_arg(args, int))); continue;
      case L'd':
      case L'i':
        spec += (size == kLongLong || size == kSize) ? L"lld" : L"d";
        n = (size == kLongLong || size == kSize)
                ? std::swprintf(buffer, 512, spec.c_str(), va_arg(args, long long))
                : std::swprintf(buffer, 512, spec.c_str(), va_arg(args, int));
        break;
      case L'u':
      case L'x':
      case L'X':
      case L'o': {
        spec += (size == kLongLong || size == kSize) ? L"ll" : L"";
        spec.push_back(conv);
        n = (size == kLongLong || size == kSize)
                ? std::swprintf(buffer, 512, spec.c_str(), va_arg(args, unsigned long long))
                : std::swprintf(buffer, 512, spec.c_str(), va_arg(args, unsigned int));
        break;
      }
      case L'p':
        n = std::swprintf(
            buffer, 512, L"%016llX",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
        break;
      default: return false;
    }
    if (n < 0) return false;
    out->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

extern "C" int WINAPI lstrlenW(LPCWSTR lpString) {
  return lpString ? static_cast<int>(std::wcslen(lpString)) : 0;
}

// lstrcmpW compares linguistically: letters first by their folded value, then lower case
// before upper case ("a" < "A" < "b" < "B").
extern "C" int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 ? 1 : (lpString2 ? -1 : 0);
  int folded = CompareNoCase(lpString1, lpString2, -1);
  if (folded != 0) return folded;
  for (size_t i = 0; lpString1[i]; ++i) {
    if (lpString1[i] != lpString2[i]) {
      return std::iswlower(static_cast<wint_t>(lpString1[i])) ? -1 : 1;
    }
  }
  return 0;
}

extern "C" int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 ? 1 : (lpString2 ? -1 : 0);
  return CompareNoCase(lpString1, lpString2, -1);
}

extern "C" PCWSTR WINAPI StrStrW(PCWSTR pszFirst, PCWSTR pszSrch) {
  if (!pszFirst || !pszSrch) return nullptr;
  return std::wcsstr(pszFirst, pszSrch);
}

extern "C" PCWSTR WINAPI StrRChrW(PCWSTR pszStart, PCWSTR pszEnd, WCHAR wMatch) {
  if (!pszStart) return nullptr;
  if (!pszEnd) pszEnd = pszStart + std::wcslen(pszStart);
  PCWSTR found = nullptr;
  for (PCWSTR p = pszStart; p < pszEnd && *p; ++p) {
    if (*p == wMatch) found = p;
  }
  return found;
}

extern "C" int WINAPI StrCmpIW(PCWSTR psz1, PCWSTR psz2) { return Sign(lstrcmpiW(psz1, psz2)); }

extern "C" int WINAPI StrCmpNIW(PCWSTR psz1, PCWSTR psz2, int nChar) {
  if (nChar <= 0) return 0;
  if (!psz1 || !psz2) return psz1 ? 1 : (psz2 ? -1 : 0);
  return CompareNoCase(psz1, psz2, nChar);
}

// StrToIntW: optional leading blanks, an optional sign, then decimal digits; stops at the first
// other character; 0 when there is no digit.
extern "C" int WINAPI StrToIntW(PCWSTR pszSrc) {
  if (!pszSrc) return 0;
  const wchar_t* p = pszSrc;
  while (*p == L' ' || *p == L'\t') ++p;
  bool negative = false;
  if (*p == L'-' || *p == L'+') negative = *p++ == L'-';
  unsigned int value = 0;
  while (*p >= L'0' && *p <= L'9') value = value * 10 + static_cast<unsigned>(*p++ - L'0');
  return negative ? -static_cast<int>(value) : static_cast<int>(value);
}

extern "C" HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...) {
  if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH) return STRSAFE_E_INVALID_PARAMETER;
  if (pszFormat == nullptr) {
    pszDest[0] = 0;
    return STRSAFE_E_INVALID_PARAMETER;
  }
  std::wstring text;
  va_list args;
  va_start(args, pszFormat);
  bool ok = FormatWide(&text, pszFormat, args);
  va_end(args);
  if (!ok) {
    pszDest[0] = 0;
    return STRSAFE_E_INVALID_PARAMETER;
  }
  if (text.size() + 1 > cchDest) {
    // Like strsafe: the destination holds the truncated text, and the call reports failure.
    text.copy(pszDest, cchDest - 1);
    pszDest[cchDest - 1] = 0;
    return STRSAFE_E_INSUFFICIENT_BUFFER;
  }
  text.copy(pszDest, text.size());
  pszDest[text.size()] = 0;
  return S_OK;
}

extern "C" HRESULT StringCchCopyW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc) {
  if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH) return STRSAFE_E_INVALID_PARAMETER;
  if (pszSrc == nullptr) pszSrc = L"";
  size_t i = 0;
  for (; i + 1 < cchDest && pszSrc[i]; ++i) pszDest[i] = pszSrc[i];
  pszDest[i] = 0;
  return pszSrc[i] == 0 ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}

extern "C" HRESULT StringCchLengthW(LPCWSTR psz, size_t cchMax, size_t* pcchLength) {
  if (psz == nullptr || cchMax > STRSAFE_MAX_CCH) {
    if (pcchLength) *pcchLength = 0;
    return STRSAFE_E_INVALID_PARAMETER;
  }
  size_t n = 0;
  while (n < cchMax && psz[n]) ++n;
  if (n == cchMax) {
    if (pcchLength) *pcchLength = 0;
    return STRSAFE_E_INVALID_PARAMETER;
  }
  if (pcchLength) *pcchLength = n;
  return S_OK;
}

// ----- Environment strings
// ------------------------------------------------------------------------

namespace sim {
namespace {

// The variables every process's environment has; enough for registry data and profile paths.
const wchar_t* EnvironmentValue(const std::wstring& name) {
  static const std::pair<const wchar_t*, const wchar_t*> kVariables[] = {
      {L"SystemRoot", L"C:\\Windows"},
      {L"windir", L"C:\\Windows"},
      {L"SystemDrive", L"C:"},
      {L"ProgramFiles", L"C:\\Program Files"},
      {L"ProgramFiles(x86)", L"C:\\Program Files (x86)"},
      {L"CommonProgramFiles", L"C:\\Program Files\\Common Files"},
      {L"ProgramData", L"C:\\ProgramData"},
      {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
  };
  for (const auto& [variable, value] : kVariables) {
    if (EqualsNoCase(variable, name)) return value;
  }
  return nullptr;
}

}  // namespace

std::wstring ExpandEnvironment(const std::wstring& text) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == L'%') {
      const size_t close = text.find(L'%', i + 1);
      if (close != std::wstring::npos) {
        if (const wchar_t* value = EnvironmentValue(text.substr(i + 1, close - i - 1))) {
          out += value;
          i = close + 1;
          continue;
        }
      }
    }
    out.push_back(text[i++]);
  }
  return out;
}

}  // namespace sim

// The count includes the terminator; a buffer too small gets nothing useful and the count it
// needs, so a caller compares the answer with its buffer's size.
extern "C" DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
  // A pure string function, as the others of this area: neither traced nor made to fail.
  if (lpSrc == nullptr) return 0;
  // The source is measured by a loop of the sim's own, which the sanitizers see, so that a
  // caller's text without its terminator shows as the read past its buffer that it is.
  size_t length = 0;
  while (lpSrc[length] != L'\0') ++length;
  const std::wstring expanded = sim::ExpandEnvironment(std::wstring(lpSrc, length).c_str());
  const DWORD needed = static_cast<DWORD>(expanded.size() + 1);
  if (lpDst != nullptr && needed <= nSize) std::wmemcpy(lpDst, expanded.c_str(), needed);
  return needed;
}
