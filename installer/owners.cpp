#include "installer/owners.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/registry_layout.h"
#include "loader/shared/registry.h"

namespace dpal::installer {

LSTATUS WithdrawOwner(const WCHAR* owner) {
  std::vector<std::wstring> owners =
      ReadMultiStringValue(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue);
  owners.erase(std::remove(owners.begin(), owners.end(), std::wstring(owner)), owners.end());
  // Each entry with its terminator, then the empty entry that ends the list.
  std::wstring data;
  for (const std::wstring& entry : owners) {
    data += entry;
    data.push_back(L'\0');
  }
  data.push_back(L'\0');
  UniqueKey key;
  if (LSTATUS status =
          RegOpenKeyExW(HKEY_LOCAL_MACHINE, layout::kServiceKey, 0, KEY_SET_VALUE, key.Put())) {
    return status;
  }
  return RegSetValueExW(key.get(), layout::kOwnersValue, 0, REG_MULTI_SZ,
                        reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size() * sizeof(WCHAR)));
}

}  // namespace dpal::installer
