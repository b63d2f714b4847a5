#include "platform/sim/kernel/names.h"

#include <cwctype>

namespace sim {

std::wstring Upper(const std::wstring& s) {
  std::wstring out(s);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return out;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) { return Upper(a) == Upper(b); }

}  // namespace sim
