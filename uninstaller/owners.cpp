#include "common/registry_layout.h"
#include "loader/shared/registry.h"
#include "uninstaller/flow.h"

namespace dpal::uninstaller {

bool HasNoOwners() {
  // The reader gives an empty list for a missing value, another type or a failed read, and
  // stops at the first empty string, so a value holding only the empty list opens the gate too.
  return ReadMultiStringValue(HKEY_LOCAL_MACHINE, layout::kServiceKey, layout::kOwnersValue)
      .empty();
}

}  // namespace dpal::uninstaller
