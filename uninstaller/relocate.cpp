#include "common/format.h"
#include "common/own_image.h"
#include "uninstaller/flow.h"

namespace dpal::uninstaller {

void RelocateSelf() {
  WCHAR image[kPathUnits] = {};
  if (!GetOwnImagePath(image)) return;
  WCHAR base[kPathUnits] = {};
  // A result of the buffer's size or more is the size needed: the buffer then holds nothing.
  const DWORD length = GetTempPathW(kPathUnits, base);
  if (length == 0 || length >= kPathUnits) return;
  if (!PathAppendW(base, kRelocatedBaseName)) return;
  for (int n = 0; n < kRelocationNames; ++n) {
    WCHAR candidate[kPathUnits] = {};
    if (!Format(candidate, L"%s.%03d", base, n) || PathFileExistsW(candidate)) continue;
    // No flags: a rename on the same volume that never replaces a file. The image stays
    // where it is when that cannot be done; the next number would fail the same way.
    if (MoveFileExW(image, candidate, 0)) {
      MoveFileExW(candidate, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return;
  }
}

}  // namespace dpal::uninstaller
