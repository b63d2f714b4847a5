#include "core/steps/colour_system.h"

namespace dpal::core {

bool ColourSystem::Load() {
  module_ = LoadSystemLibrary(L"mscms.dll");
  return static_cast<bool>(module_);
}

GetDefaultProfileSizeFn ColourSystem::GetDefaultProfileSize() const {
  return ExportOf<GetDefaultProfileSizeFn>(module_, "WcsGetDefaultColorProfileSize");
}

GetDefaultProfileFn ColourSystem::GetDefaultProfile() const {
  return ExportOf<GetDefaultProfileFn>(module_, "WcsGetDefaultColorProfile");
}

SetDefaultProfileFn ColourSystem::SetDefaultProfile() const {
  return ExportOf<SetDefaultProfileFn>(module_, "WcsSetDefaultColorProfile");
}

UninstallProfileFn ColourSystem::UninstallProfile() const {
  return ExportOf<UninstallProfileFn>(module_, "UninstallColorProfileW");
}

RemoveDisplayAssociationFn ColourSystem::RemoveDisplayAssociation() const {
  if (auto by_name = ExportOf<RemoveDisplayAssociationFn>(module_, kRemoveDisplayAssociationName)) {
    return by_name;
  }
  return ExportOf<RemoveDisplayAssociationFn>(module_,
                                              MAKEINTRESOURCEA(kRemoveDisplayAssociationOrdinal));
}

}  // namespace dpal::core
