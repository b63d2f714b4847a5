// The Authenticode verification of one file as the trust tests ask for it: WinVerifyTrust with
// the generic verify action, no user interface, no revocation checks, and state data kept for
// the signer and its chain until the state is closed.
#pragma once

#include "platform/win32.h"

namespace dpal::test {

// Prepares `data` for the verification of the file at `path` (read through `file` when it is
// not null) described by `info`; both must outlive the verification and its close.
inline void PrepareFileTrust(const wchar_t* path, HANDLE file, WINTRUST_FILE_INFO* info,
                             WINTRUST_DATA* data) {
  *info = {};
  info->cbStruct = sizeof(*info);
  info->pcwszFilePath = path;
  info->hFile = file;
  *data = {};
  data->cbStruct = sizeof(*data);
  data->dwUIChoice = WTD_UI_NONE;
  data->fdwRevocationChecks = WTD_REVOKE_NONE;
  data->dwUnionChoice = WTD_CHOICE_FILE;
  data->pFile = info;
  data->dwStateAction = WTD_STATEACTION_VERIFY;
}

}  // namespace dpal::test
