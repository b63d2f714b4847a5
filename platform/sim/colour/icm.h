// The simulated Windows: the Windows Color System's profile management (mscms; icm.h).
//
// As in the SDK headers the package is built with, the subtype enumeration stops at
// CPST_CUSTOM_WORKING_SPACE: the standard and extended display colour modes (7 and 8) are
// numbers. The display association removal has no declaration either; it is had with
// GetProcAddress from mscms.dll.
#pragma once

#include "platform/sim/kernel/winbase.h"

typedef enum tagCOLORPROFILETYPE {
  CPT_ICC = 0,
  CPT_DMP = 1,
  CPT_CAMP = 2,
  CPT_GMMP = 3
} COLORPROFILETYPE,
    *PCOLORPROFILETYPE, *LPCOLORPROFILETYPE;

// A fixed underlying type, as the SDK's is in effect (a 32-bit number), so that the display
// colour modes 7 and 8 are values of it.
typedef enum tagCOLORPROFILESUBTYPE : int {
  CPST_PERCEPTUAL = 0,
  CPST_RELATIVE_COLORIMETRIC = 1,
  CPST_SATURATION = 2,
  CPST_ABSOLUTE_COLORIMETRIC = 3,
  CPST_NONE = 4,
  CPST_RGB_WORKING_SPACE = 5,
  CPST_CUSTOM_WORKING_SPACE = 6
} COLORPROFILESUBTYPE,
    *PCOLORPROFILESUBTYPE, *LPCOLORPROFILESUBTYPE;

typedef enum tagWCS_PROFILE_MANAGEMENT_SCOPE {
  WCS_PROFILE_MANAGEMENT_SCOPE_SYSTEM_WIDE = 0,
  WCS_PROFILE_MANAGEMENT_SCOPE_CURRENT_USER
} WCS_PROFILE_MANAGEMENT_SCOPE;

extern "C" {
// pdwSize is in bytes, the terminator included.
BOOL WINAPI GetColorDirectoryW(PCWSTR pMachineName, PWSTR pBuffer, PDWORD pdwSize);
// A bare file name is a profile of the colour directory; bDelete deletes its file too.
BOOL WINAPI UninstallColorProfileW(PCWSTR pMachineName, PCWSTR pProfileName, BOOL bDelete);
// The size is in bytes, the terminator included.
BOOL WINAPI WcsGetDefaultColorProfileSize(WCS_PROFILE_MANAGEMENT_SCOPE profileManagementScope,
                                          PCWSTR pDeviceName, COLORPROFILETYPE cptColorProfileType,
                                          COLORPROFILESUBTYPE cpstColorProfileSubType,
                                          DWORD dwProfileID, PDWORD pcbProfileName);
BOOL WINAPI WcsGetDefaultColorProfile(WCS_PROFILE_MANAGEMENT_SCOPE profileManagementScope,
                                      PCWSTR pDeviceName, COLORPROFILETYPE cptColorProfileType,
                                      COLORPROFILESUBTYPE cpstColorProfileSubType,
                                      DWORD dwProfileID, DWORD cbProfileName, LPWSTR pProfileName);
BOOL WINAPI WcsSetDefaultColorProfile(WCS_PROFILE_MANAGEMENT_SCOPE profileManagementScope,
                                      PCWSTR pDeviceName, COLORPROFILETYPE cptColorProfileType,
                                      COLORPROFILESUBTYPE cpstColorProfileSubType,
                                      DWORD dwProfileID, LPCWSTR pProfileName);
}
