// The device tree and SetupAPI's device information sets: enumeration of devices by class,
// enumerator and presence, their registry properties (hardware and compatible IDs) and their
// unified properties (the driver INF among them); the driver store with the INF each package
// was published under; and newdev.dll's removal of a driver package and of a device.
#include <algorithm>
#include <cstring>
#include <cwchar>

#include "platform/sim/devices/internal.h"
#include "platform/sim/devices/sim_devices.h"
#include "platform/sim/files/internal.h"
#include "platform/sim/kernel/areas.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/kernel/objects.h"
#include "platform/sim/modules/internal.h"
#include "platform/sim/restart/internal.h"
#include "platform/sim/registry/winreg.h"
#include "platform/sim/security/internal.h"
#include "platform/sim/snapshot.h"

namespace sim {

AreaUse& DevicesUse() {
  static AreaUse* use = new AreaUse();  // never destroyed, as the machine
  return *use;
}

namespace {

struct PropertyKey {
  GUID fmtid;
  DEVPROPID pid;
  bool operator<(const PropertyKey& other) const {
    int order = std::memcmp(&fmtid, &other.fmtid, sizeof(GUID));
    return order != 0 ? order < 0 : pid < other.pid;
  }
};

struct PropertyValue {
  DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
  std::vector<uint8_t> bytes;
};

struct DeviceNode {
  std::wstring instance_id;
  std::vector<std::wstring> hardware_ids;
  std::vector<std::wstring> compatible_ids;
  bool present = true;
  GUID class_guid = {};
  DWORD devinst = 0;
  // Properties stored on the device (the driver INF among them); the IDs above are not here.
  std::map<PropertyKey, PropertyValue> properties;
  bool removal_waits_for_restart = false;
  bool removal_pending = false;  // removed at the next restart
};

struct Tree {
  std::vector<std::shared_ptr<DeviceNode>> devices;  // in enumeration order
  DWORD next_devinst = 1;
  ULONG_PTR next_element = 0x10;
  // The driver store: each package by the name its INF was published under in the INF
  // directory ("oem7.inf"), in order of adding.
  std::vector<std::wstring> driver_packages;
  bool uninstall_driver_exported = true;
  bool uninstall_device_exported = true;
};

Tree& DeviceTree() {
  static Tree* tree = new Tree();
  DevicesUse().Mark();
  return *tree;
}

struct Element {
  ULONG_PTR id;
  std::wstring instance_id;
  GUID class_guid;
  DWORD devinst;
};

struct DeviceSet : Object {
  static constexpr HandleKind kKind{"device-info-set", false};
  DeviceSet() : Object(kKind) {}
  std::vector<Element> elements;
};

constexpr PropertyKey Key(const DEVPROPKEY& key) { return PropertyKey{key.fmtid, key.pid}; }

std::shared_ptr<DeviceNode> FindLocked(const std::wstring& instance_id) {
  for (const auto& device : DeviceTree().devices) {
    if (EqualsNoCase(device->instance_id, instance_id)) return device;
  }
  return nullptr;
}

std::vector<uint8_t> TextBytes(const std::wstring& text) {
  const auto* begin = reinterpret_cast<const uint8_t*>(text.c_str());
  return std::vector<uint8_t>(begin, begin + (text.size() + 1) * sizeof(WCHAR));
}

// Each entry with its NUL, then the NUL that ends the list.
std::vector<uint8_t> MultiStringBytes(const std::vector<std::wstring>& entries) {
  std::wstring joined;
  for (const auto& entry : entries) joined += entry + L'\0';
  return TextBytes(joined);
}

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40];
  std::swprintf(text, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::shared_ptr<DeviceSet> SetOfHandleLocked(HDEVINFO handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  return LookupAsLocked<DeviceSet>(H(handle));
}

// The element a caller's SP_DEVINFO_DATA designates in a set, the way SetupAPI checks it.
DWORD ElementLocked(HDEVINFO handle, const SP_DEVINFO_DATA* data, const Element** element) {
  auto set = SetOfHandleLocked(handle);
  if (!set) return ERROR_INVALID_HANDLE;
  if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_PARAMETER;
  for (const Element& candidate : set->elements) {
    if (candidate.id == data->Reserved) {
      *element = &candidate;
      return NO_ERROR;
    }
  }
  return ERROR_INVALID_PARAMETER;  // not an element of this set
}

// The live device behind an element; it may have left the tree since the set was made.
DWORD DeviceOfLocked(HDEVINFO handle, const SP_DEVINFO_DATA* data,
                     std::shared_ptr<DeviceNode>* device) {
  const Element* element = nullptr;
  if (DWORD e = ElementLocked(handle, data, &element)) return e;
  *device = FindLocked(element->instance_id);
  return *device ? NO_ERROR : ERROR_NO_SUCH_DEVINST;
}

// The unified property of a device, or false when the device does not have it.
bool PropertyOf(const DeviceNode& device, const DEVPROPKEY& key, PropertyValue* value) {
  auto is = [&key](const DEVPROPKEY& known) {
    return key.pid == known.pid && key.fmtid == known.fmtid;
  };
  if (is(DEVPKEY_Device_InstanceId)) {
    *value = PropertyValue{DEVPROP_TYPE_STRING, TextBytes(device.instance_id)};
    return true;
  }
  if (is(DEVPKEY_Device_HardwareIds) || is(DEVPKEY_Device_CompatibleIds)) {
    const auto& ids = is(DEVPKEY_Device_HardwareIds) ? device.hardware_ids : device.compatible_ids;
    if (ids.empty()) return false;
    *value = PropertyValue{DEVPROP_TYPE_STRING_LIST, MultiStringBytes(ids)};
    return true;
  }
  auto it = device.properties.find(Key(key));
  if (it == device.properties.end()) return false;
  *value = it->second;
  return true;
}

bool ValidPropertyType(DEVPROPTYPE type) {
  const DEVPROPTYPE base = type & DEVPROP_MASK_TYPE;
  const DEVPROPTYPE modifier = type & DEVPROP_MASK_TYPEMOD;
  if (base > MAX_DEVPROP_TYPE) return false;
  if (modifier != 0 && modifier != DEVPROP_TYPEMOD_ARRAY && modifier != DEVPROP_TYPEMOD_LIST) {
    return false;
  }
  if (modifier == DEVPROP_TYPEMOD_LIST) return base == DEVPROP_TYPE_STRING;
  return true;
}

std::wstring InfDirectoryLocked() { return WindowsDirectoryLocked() + L"\\INF"; }

std::vector<std::wstring>::iterator PackageLocked(const std::wstring& published_inf) {
  auto& packages = DeviceTree().driver_packages;
  return std::find_if(packages.begin(), packages.end(), [&](const std::wstring& package) {
    return EqualsNoCase(package, published_inf);
  });
}

// Installing and removing drivers and devices is for administrators (and LocalSystem).
bool MayInstallLocked() {
  const auto token = EffectiveTokenLocked();
  return token->administrator || IsSystemSid(token->user_sid);
}

bool IsDriverInfProperty(const PropertyKey& key) {
  return key.pid == DEVPKEY_Device_DriverInfPath.pid &&
         key.fmtid == DEVPKEY_Device_DriverInfPath.fmtid;
}

// Removes the driver package of an INF from the devices that use it (they are left with the
// null driver: no driver INF) and, unless DIURFLAG_NO_REMOVE_INF, from the driver store, with
// its INF. The INF must be a package's published INF in the INF directory: any other path,
// existing or not, is not found, as Windows answers for a path that is no package of the store.
BOOL WINAPI DiUninstallDriverW(HWND hwndParent, LPCWSTR InfPath, DWORD Flags, PBOOL NeedReboot) {
  if (DWORD e = Enter(__func__, Args(static_cast<const void*>(hwndParent), InfPath, Flags,
                                     static_cast<const void*>(NeedReboot)))) {
    return Fail<BOOL>(e, FALSE);
  }
  if ((Flags & ~static_cast<DWORD>(kNoRemoveInf)) != 0)
    return Fail<BOOL>(ERROR_INVALID_FLAGS, FALSE);
  if (InfPath == nullptr || InfPath[0] == L'\0') return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  Lock lock(MachineLock());
  if (!MayInstallLocked()) return Fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
  std::wstring full;
  if (DWORD e = FullFilePath(InfPath, CurrentIdentityLocked().current_directory, &full)) {
    return Fail<BOOL>(e, FALSE);
  }
  const size_t slash = full.rfind(L'\\');
  const std::wstring directory = full.substr(0, slash);
  const std::wstring name = full.substr(slash + 1);
  auto package = PackageLocked(name);
  const FileEntry file = FileEntryLocked(full);
  if (FileKey(directory) != FileKey(InfDirectoryLocked()) ||
      package == DeviceTree().driver_packages.end() || !file.exists || file.directory) {
    return Fail<BOOL>(ERROR_FILE_NOT_FOUND, FALSE);
  }
  for (const auto& device : DeviceTree().devices) {
    for (auto it = device->properties.begin(); it != device->properties.end();) {
      const PropertyValue& value = it->second;
      const bool uses = IsDriverInfProperty(it->first) && value.type == DEVPROP_TYPE_STRING &&
                        EqualsNoCase(reinterpret_cast<const wchar_t*>(value.bytes.data()), name);
      it = uses ? device->properties.erase(it) : std::next(it);
    }
  }
  if (!(Flags & kNoRemoveInf)) {
    DeviceTree().driver_packages.erase(package);
    DeleteFileLocked(full);
  }
  if (NeedReboot) *NeedReboot = FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// Removes a device (the simulated tree has no child devices); its driver package stays in the
// driver store. A device whose removal waits for the restart stays in the tree, present, until
// the next boot, and NeedReboot says so (TRUE); asked again before the restart, the answer is
// the same. Without a NeedReboot to answer in, Windows would show its restart dialog: the sim,
// which shows nothing, leaves the removal pending all the same.
BOOL WINAPI DiUninstallDevice(HWND hwndParent, HDEVINFO DeviceInfoSet,
                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Flags, PBOOL NeedReboot) {
  if (DWORD e = Enter(__func__, Args(static_cast<const void*>(hwndParent), DeviceInfoSet,
                                     static_cast<const void*>(DeviceInfoData), Flags,
                                     static_cast<const void*>(NeedReboot)))) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<DeviceNode> device;
  if (DWORD e = DeviceOfLocked(DeviceInfoSet, DeviceInfoData, &device)) return Fail<BOOL>(e, FALSE);
  if (Flags != 0) return Fail<BOOL>(ERROR_INVALID_FLAGS, FALSE);
  if (!MayInstallLocked()) return Fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
  const bool at_restart = device->removal_waits_for_restart;
  if (at_restart) {
    device->removal_pending = true;
  } else {
    auto& devices = DeviceTree().devices;
    devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
  }
  if (NeedReboot) *NeedReboot = at_restart ? TRUE : FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

template <typename F>
void (*Exported(F function))() {
  return reinterpret_cast<void (*)()>(function);
}

void RegisterNewdevLocked() {
  std::vector<ModuleExport> exports;
  if (DeviceTree().uninstall_device_exported) {
    exports.push_back({"DiUninstallDevice", 0, Exported(&DiUninstallDevice)});
  }
  if (DeviceTree().uninstall_driver_exported) {
    exports.push_back({"DiUninstallDriverW", 0, Exported(&DiUninstallDriverW)});
  }
  RegisterSystemModuleLocked(L"newdev.dll", exports);
}

}  // namespace

// ----- Row of the table of areas ---------------------------------------------------------------

void ResetDevicesLocked() {
  DeviceTree().devices.clear();
  DeviceTree().next_devinst = 1;
  DeviceTree().driver_packages.clear();
  DeviceTree().uninstall_driver_exported = true;
  DeviceTree().uninstall_device_exported = true;
  RegisterNewdevLocked();
}

void RemoveDevicesAtRestartLocked() {
  auto& devices = DeviceTree().devices;
  devices.erase(std::remove_if(devices.begin(), devices.end(),
                               [](const auto& device) { return device->removal_pending; }),
                devices.end());
}

void SnapshotDevicesLocked(Snapshot& out) {
  for (const auto& device : DeviceTree().devices) {
    std::string state = device->present ? "present" : "not present";
    if (device->removal_pending) state += ", removed at the next restart";
    state += ", class " + Utf8(GuidText(device->class_guid));
    if (!device->hardware_ids.empty()) state += ", hardware IDs " + ListText(device->hardware_ids);
    if (!device->compatible_ids.empty()) {
      state += ", compatible IDs " + ListText(device->compatible_ids);
    }
    for (const auto& [key, value] : device->properties) {
      if (key.pid == DEVPKEY_Device_DriverInfPath.pid &&
          key.fmtid == DEVPKEY_Device_DriverInfPath.fmtid && value.type == DEVPROP_TYPE_STRING) {
        state +=
            ", driver INF \"" + Utf8(reinterpret_cast<const wchar_t*>(value.bytes.data())) + "\"";
        continue;
      }
      state += ", property " + Utf8(GuidText(key.fmtid)) + " " + std::to_string(key.pid) +
               " type " + std::to_string(value.type) + ": " +
               BytesText(value.bytes.data(), value.bytes.size());
    }
    out.Put("devices", Utf8(device->instance_id), state);
  }
  for (const std::wstring& package : DeviceTree().driver_packages) {
    out.Put("driver packages", package, L"INF " + InfDirectoryLocked() + L"\\" + package);
  }
}

// ----- Test-facing side --------------------------------------------------------------------------

void AddDevice(const Device& device) {
  Lock lock(MachineLock());
  auto node = FindLocked(device.instance_id);
  if (!node) {
    node = std::make_shared<DeviceNode>();
    node->devinst = DeviceTree().next_devinst++;
    DeviceTree().devices.push_back(node);
  }
  node->instance_id = device.instance_id;
  node->hardware_ids = device.hardware_ids;
  node->compatible_ids = device.compatible_ids;
  node->present = device.present;
  node->class_guid = device.class_guid;
  node->removal_waits_for_restart = device.removal_waits_for_restart;
  node->removal_pending = device.removal_pending;
  node->properties.erase(Key(DEVPKEY_Device_DriverInfPath));
  if (!device.driver_inf.empty()) {
    node->properties[Key(DEVPKEY_Device_DriverInfPath)] =
        PropertyValue{DEVPROP_TYPE_STRING, TextBytes(device.driver_inf)};
  }
}

bool RemoveDevice(const std::wstring& instance_id) {
  Lock lock(MachineLock());
  auto& devices = DeviceTree().devices;
  auto it = std::find_if(devices.begin(), devices.end(), [&](const auto& device) {
    return EqualsNoCase(device->instance_id, instance_id);
  });
  if (it == devices.end()) return false;
  devices.erase(it);
  return true;
}

bool SetDevicePresent(const std::wstring& instance_id, bool present) {
  Lock lock(MachineLock());
  auto node = FindLocked(instance_id);
  if (!node) return false;
  node->present = present;
  return true;
}

void AddDriverPackage(const std::wstring& published_inf, const std::vector<uint8_t>& inf_bytes) {
  {
    Lock lock(MachineLock());
    if (PackageLocked(published_inf) == DeviceTree().driver_packages.end()) {
      DeviceTree().driver_packages.push_back(published_inf);
    }
  }
  PutFile(WindowsDirectory() + L"\\INF\\" + published_inf, inf_bytes);
}

std::vector<std::wstring> DriverPackages() {
  Lock lock(MachineLock());
  return DeviceTree().driver_packages;
}

void SetDeviceUninstallExports(bool uninstall_driver, bool uninstall_device) {
  Lock lock(MachineLock());
  DeviceTree().uninstall_driver_exported = uninstall_driver;
  DeviceTree().uninstall_device_exported = uninstall_device;
  RegisterNewdevLocked();
}

std::vector<Device> Devices() {
  Lock lock(MachineLock());
  std::vector<Device> out;
  for (const auto& node : DeviceTree().devices) {
    Device device;
    device.instance_id = node->instance_id;
    device.hardware_ids = node->hardware_ids;
    device.compatible_ids = node->compatible_ids;
    device.present = node->present;
    device.class_guid = node->class_guid;
    device.removal_waits_for_restart = node->removal_waits_for_restart;
    device.removal_pending = node->removal_pending;
    auto inf = node->properties.find(Key(DEVPKEY_Device_DriverInfPath));
    if (inf != node->properties.end() && inf->second.type == DEVPROP_TYPE_STRING) {
      device.driver_inf = reinterpret_cast<const wchar_t*>(inf->second.bytes.data());
    }
    out.push_back(std::move(device));
  }
  return out;
}

}  // namespace sim

// ----- Win32 -------------------------------------------------------------------------------------

using namespace sim;

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator,
                                                HWND hwndParent, DWORD Flags) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(ClassGuid), Enumerator,
                          static_cast<const void*>(hwndParent), Flags)) {
    return Fail<HDEVINFO>(e, INVALID_HANDLE_VALUE);
  }
  constexpr DWORD kKnownFlags =
      DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
  if (Flags & ~kKnownFlags) return Fail<HDEVINFO>(ERROR_INVALID_FLAGS, INVALID_HANDLE_VALUE);
  if (!(Flags & DIGCF_ALLCLASSES) && ClassGuid == nullptr) {
    return Fail<HDEVINFO>(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  if (Flags & DIGCF_DEVICEINTERFACE) {
    // Device interfaces are not part of the simulated machine.
    return Fail<HDEVINFO>(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
  }
  // An enumerator is either an enumerator name ("SWD") or one device's instance ID.
  std::wstring enumerator = Enumerator != nullptr ? Enumerator : L"";
  const bool whole_id = enumerator.find(L'\\') != std::wstring::npos;

  Lock lock(MachineLock());
  auto set = std::make_shared<DeviceSet>();
  for (const auto& device : DeviceTree().devices) {
    if ((Flags & DIGCF_PRESENT) && !device->present) continue;
    if (!(Flags & DIGCF_ALLCLASSES) && device->class_guid != *ClassGuid) continue;
    if (!enumerator.empty()) {
      const std::wstring& id = device->instance_id;
      std::wstring prefix = whole_id ? id : id.substr(0, id.find(L'\\'));
      if (!EqualsNoCase(prefix, enumerator)) continue;
    }
    set->elements.push_back(Element{DeviceTree().next_element++, device->instance_id,
                                    device->class_guid, device->devinst});
  }
  return reinterpret_cast<HDEVINFO>(AddHandleLocked(set));
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (DWORD e = SIM_ENTER_RELEASE(DeviceInfoSet)) return Fail(e, FALSE);
  Lock lock(MachineLock());
  return CloseHandleOfKindsLocked(H(DeviceInfoSet), {&DeviceSet::kKind});
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
  if (DWORD e = SIM_ENTER(DeviceInfoSet, MemberIndex, static_cast<const void*>(DeviceInfoData))) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  auto set = SetOfHandleLocked(DeviceInfoSet);
  if (!set) return Fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  if (DeviceInfoData == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail<BOOL>(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  if (MemberIndex >= set->elements.size()) return Fail<BOOL>(ERROR_NO_MORE_ITEMS, FALSE);
  const Element& element = set->elements[MemberIndex];
  DeviceInfoData->ClassGuid = element.class_guid;
  DeviceInfoData->DevInst = element.devinst;
  DeviceInfoData->Reserved = element.id;
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet,
                                                   PSP_DEVINFO_DATA DeviceInfoData,
                                                   PWSTR DeviceInstanceId,
                                                   DWORD DeviceInstanceIdSize,
                                                   PDWORD RequiredSize) {
  if (DWORD e = SIM_ENTER(DeviceInfoSet, static_cast<const void*>(DeviceInfoData),
                          static_cast<const void*>(DeviceInstanceId), DeviceInstanceIdSize,
                          static_cast<const void*>(RequiredSize))) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  const Element* element = nullptr;
  if (DWORD e = ElementLocked(DeviceInfoSet, DeviceInfoData, &element)) return Fail<BOOL>(e, FALSE);
  const DWORD needed = static_cast<DWORD>(element->instance_id.size() + 1);
  if (RequiredSize) *RequiredSize = needed;
  if (DeviceInstanceIdSize < needed) return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (DeviceInstanceId == nullptr) return Fail<BOOL>(ERROR_INVALID_USER_BUFFER, FALSE);
  std::wmemcpy(DeviceInstanceId, element->instance_id.c_str(), needed);
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet,
                                                         PSP_DEVINFO_DATA DeviceInfoData,
                                                         DWORD Property, PDWORD PropertyRegDataType,
                                                         PBYTE PropertyBuffer,
                                                         DWORD PropertyBufferSize,
                                                         PDWORD RequiredSize) {
  if (DWORD e = SIM_ENTER(DeviceInfoSet, static_cast<const void*>(DeviceInfoData), Property,
                          static_cast<const void*>(PropertyBuffer), PropertyBufferSize)) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<DeviceNode> device;
  if (DWORD e = DeviceOfLocked(DeviceInfoSet, DeviceInfoData, &device)) return Fail<BOOL>(e, FALSE);
  if (Property >= SPDRP_MAXIMUM_PROPERTY) return Fail<BOOL>(ERROR_INVALID_REG_PROPERTY, FALSE);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
    return Fail<BOOL>(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  DWORD type = REG_NONE;
  std::vector<uint8_t> bytes;
  switch (Property) {
    case SPDRP_HARDWAREID:
    case SPDRP_COMPATIBLEIDS: {
      const auto& ids =
          Property == SPDRP_HARDWAREID ? device->hardware_ids : device->compatible_ids;
      if (!ids.empty()) {
        type = REG_MULTI_SZ;
        bytes = MultiStringBytes(ids);
      }
      break;
    }
    case SPDRP_CLASSGUID:
      type = REG_SZ;
      bytes = TextBytes(GuidText(device->class_guid));
      break;
    default: break;  // other registry properties are not part of the simulated devices
  }
  // A property the device does not have: documented as ERROR_INVALID_DATA.
  if (type == REG_NONE) return Fail<BOOL>(ERROR_INVALID_DATA, FALSE);
  const DWORD needed = static_cast<DWORD>(bytes.size());
  if (PropertyRegDataType) *PropertyRegDataType = type;
  if (RequiredSize) *RequiredSize = needed;
  if (PropertyBufferSize < needed) return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(PropertyBuffer, bytes.data(), needed);
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData,
                                                 const DEVPROPKEY* PropertyKey,
                                                 DEVPROPTYPE* PropertyType, PBYTE PropertyBuffer,
                                                 DWORD PropertyBufferSize, PDWORD RequiredSize,
                                                 DWORD Flags) {
  if (DWORD e = SIM_ENTER(DeviceInfoSet, static_cast<const void*>(DeviceInfoData),
                          static_cast<const void*>(PropertyKey),
                          static_cast<const void*>(PropertyBuffer), PropertyBufferSize, Flags)) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<DeviceNode> device;
  if (DWORD e = DeviceOfLocked(DeviceInfoSet, DeviceInfoData, &device)) return Fail<BOOL>(e, FALSE);
  if (PropertyKey == nullptr) return Fail<BOOL>(ERROR_INVALID_DATA, FALSE);
  if (PropertyType == nullptr || (PropertyBuffer == nullptr && PropertyBufferSize != 0)) {
    return Fail<BOOL>(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  if (Flags != 0) return Fail<BOOL>(ERROR_INVALID_FLAGS, FALSE);
  PropertyValue value;
  if (!PropertyOf(*device, *PropertyKey, &value)) {
    *PropertyType = DEVPROP_TYPE_EMPTY;
    if (RequiredSize) *RequiredSize = 0;
    return Fail<BOOL>(ERROR_NOT_FOUND, FALSE);
  }
  const DWORD needed = static_cast<DWORD>(value.bytes.size());
  *PropertyType = value.type;
  if (RequiredSize) *RequiredSize = needed;
  if (PropertyBufferSize < needed) return Fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (needed > 0) std::memcpy(PropertyBuffer, value.bytes.data(), needed);
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiSetDevicePropertyW(
    HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const DEVPROPKEY* PropertyKey,
    DEVPROPTYPE PropertyType, const BYTE* PropertyBuffer, DWORD PropertyBufferSize, DWORD Flags) {
  if (DWORD e = SIM_ENTER(DeviceInfoSet, static_cast<const void*>(DeviceInfoData),
                          static_cast<const void*>(PropertyKey), PropertyType,
                          static_cast<const void*>(PropertyBuffer), PropertyBufferSize, Flags)) {
    return Fail<BOOL>(e, FALSE);
  }
  Lock lock(MachineLock());
  std::shared_ptr<DeviceNode> device;
  if (DWORD e = DeviceOfLocked(DeviceInfoSet, DeviceInfoData, &device)) return Fail<BOOL>(e, FALSE);
  if (PropertyKey == nullptr) return Fail<BOOL>(ERROR_INVALID_DATA, FALSE);
  if (!ValidPropertyType(PropertyType)) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
    return Fail<BOOL>(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  if (Flags != 0) return Fail<BOOL>(ERROR_INVALID_FLAGS, FALSE);
  const auto token = EffectiveTokenLocked();
  if (!token->administrator && !IsSystemSid(token->user_sid)) {
    return Fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
  }
  // The IDs and the instance ID belong to the device's enumerator; they cannot be set here.
  for (const DEVPROPKEY* fixed :
       {&DEVPKEY_Device_InstanceId, &DEVPKEY_Device_HardwareIds, &DEVPKEY_Device_CompatibleIds}) {
    if (PropertyKey->pid == fixed->pid && PropertyKey->fmtid == fixed->fmtid) {
      return Fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    }
  }
  if (PropertyType == DEVPROP_TYPE_EMPTY || PropertyType == DEVPROP_TYPE_NULL) {
    if (device->properties.erase(Key(*PropertyKey)) == 0) return Fail<BOOL>(ERROR_NOT_FOUND, FALSE);
    return TRUE;
  }
  PropertyValue value;
  value.type = PropertyType;
  if (PropertyBufferSize > 0)
    value.bytes.assign(PropertyBuffer, PropertyBuffer + PropertyBufferSize);
  device->properties[Key(*PropertyKey)] = std::move(value);
  return TRUE;
}
