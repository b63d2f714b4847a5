// Device information sets and device properties: what the sim must do the way Windows does it.
// Under Wine a software device is made by writing its instance key below
// HKLM\SYSTEM\CurrentControlSet\Enum (how a device of that kind appears there); in the sim the
// test adds it to the device tree.
#include <algorithm>
#include <cwctype>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/platform_test.h"
#include "tests/support/sentinel.h"

#if defined(_WIN32)
// MinGW's setupapi.h does not declare it; its import library has it.
extern "C" DECLSPEC_IMPORT BOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA,
                                                                 const DEVPROPKEY*, DEVPROPTYPE,
                                                                 const BYTE*, DWORD, DWORD);
#endif

namespace {

using dpal::test::PlatformTest;
using namespace std::string_literals;

using dpal::test::kSentinel;

// The software component device class.
constexpr GUID kSoftwareComponentClass = {
    0x5c4c3332, 0x344d, 0x483c, {0x87, 0x39, 0x25, 0x9e, 0x93, 0x4c, 0x9c, 0xc8}};
constexpr GUID kDisplayClass = {
    0x4d36e968, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// Destroys a device information set on every path.
struct DeviceSet {
  explicit DeviceSet(HDEVINFO h) : set(h) {}
  ~DeviceSet() {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  }
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;
  HDEVINFO set;
};

SP_DEVINFO_DATA Element() {
  SP_DEVINFO_DATA data = {};
  data.cbSize = sizeof(SP_DEVINFO_DATA);
  return data;
}

std::wstring InstanceId(HDEVINFO set, SP_DEVINFO_DATA* data) {
  WCHAR id[400] = {};
  DWORD required = 0;
  if (!SetupDiGetDeviceInstanceIdW(set, data, id, 400, &required)) return std::wstring();
  return id;
}

std::wstring Upper(std::wstring s) {
  for (auto& c : s) c = static_cast<WCHAR>(towupper(c));
  return s;
}

// The instance IDs of a set, in enumeration order (upper case).
std::vector<std::wstring> InstanceIds(const GUID* device_class, const WCHAR* enumerator,
                                      DWORD flags) {
  DeviceSet owner(SetupDiGetClassDevsW(device_class, enumerator, nullptr, flags));
  std::vector<std::wstring> ids;
  if (owner.set == INVALID_HANDLE_VALUE) return {L"(no set)"};
  SP_DEVINFO_DATA data = Element();
  for (DWORD i = 0; SetupDiEnumDeviceInfo(owner.set, i, &data); ++i) {
    ids.push_back(Upper(InstanceId(owner.set, &data)));
  }
  return ids;
}

// Reads a registry property of a device with the two-call protocol; empty when it fails.
std::vector<BYTE> RegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property,
                                   DWORD* type = nullptr) {
  DWORD required = 0;
  DWORD ignored = 0;
  if (SetupDiGetDeviceRegistryPropertyW(set, data, property, type ? type : &ignored, nullptr, 0,
                                        &required) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return {};
  }
  std::vector<BYTE> bytes(required);
  if (!SetupDiGetDeviceRegistryPropertyW(set, data, property, type ? type : &ignored, bytes.data(),
                                         required, &required)) {
    return {};
  }
  return bytes;
}

std::vector<BYTE> Bytes(const std::wstring& text_with_terminators) {
  const auto* begin = reinterpret_cast<const BYTE*>(text_with_terminators.data());
  return std::vector<BYTE>(begin, begin + text_with_terminators.size() * sizeof(WCHAR));
}

class Devices : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
#if DPAL_SIM
    // Some devices of an ordinary machine, to enumerate past.
    sim::Device adapter;
    adapter.instance_id = L"PCI\\VEN_8086&DEV_9A49\\3&11583659&0&10";
    adapter.hardware_ids = {L"PCI\\VEN_8086&DEV_9A49&SUBSYS_0A1F1028", L"PCI\\VEN_8086&DEV_9A49"};
    adapter.compatible_ids = {L"PCI\\CC_030000"};
    adapter.class_guid = kDisplayClass;
    adapter.driver_inf = L"oem3.inf";
    sim::AddDevice(adapter);
    sim::Device root;
    root.instance_id = L"ROOT\\SYSTEM\\0000";  // no IDs of its own
    sim::AddDevice(root);
#endif
  }
};

TEST_F(Devices, EnumerationEndsWithNoMoreItemsAndChecksTheElementSize) {
  EXPECT_EQ(sizeof(SP_DEVINFO_DATA), 32u) << "x64 layout";

  SetLastError(kSentinel);
  EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE)
      << "no class and not all classes";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  DeviceSet owner(
      SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  ASSERT_NE(owner.set, INVALID_HANDLE_VALUE) << "error " << GetLastError();

  SP_DEVINFO_DATA data = Element();
  data.cbSize = sizeof(SP_DEVINFO_DATA) - 4;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(owner.set, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

  DWORD count = 0;
  data = Element();
  while (SetupDiEnumDeviceInfo(owner.set, count, &data)) ++count;
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(owner.set, count + 10, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
#if DPAL_SIM
  EXPECT_EQ(count, 2u);
#endif

  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Devices, HardwareIdsAreAMultiStringWithTheSizeProtocolOrInvalidData) {
  DeviceSet owner(
      SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  ASSERT_NE(owner.set, INVALID_HANDLE_VALUE);
  int with_ids = 0;
  int without_ids = 0;
  SP_DEVINFO_DATA data = Element();
  for (DWORD i = 0; SetupDiEnumDeviceInfo(owner.set, i, &data); ++i) {
    const std::wstring id = InstanceId(owner.set, &data);
    DWORD type = kSentinel;
    DWORD required = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(owner.set, &data, SPDRP_HARDWAREID, &type,
                                                   nullptr, 0, &required));
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_DATA) {
      ++without_ids;  // documented for a device that does not have the property
      continue;
    }
    ASSERT_EQ(error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << Upper(id).c_str();
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    ASSERT_GE(required, 2 * sizeof(WCHAR));
    ASSERT_NE(required, kSentinel);

    constexpr size_t kGuard = 16;
    std::vector<BYTE> buffer(required + kGuard, 0xAB);
    DWORD again = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(owner.set, &data, SPDRP_HARDWAREID, &type,
                                                   buffer.data(), required - 1, &again));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(again, required);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(owner.set, &data, SPDRP_HARDWAREID, &type,
                                                  buffer.data(), required, &again))
        << "error " << GetLastError();
    const auto* ids = reinterpret_cast<const WCHAR*>(buffer.data());
    const size_t units = required / sizeof(WCHAR);
    // The list ends with an empty entry within the data. Wine's own root devices (winebus,
    // wineusb) keep stray bytes after that entry in their stored value, so only the sim can
    // insist that the empty entry comes last.
    bool terminated = false;
    for (size_t at = 0; at + 1 < units && !terminated; ++at) {
      terminated = ids[at] == L'\0' && ids[at + 1] == L'\0';
    }
    EXPECT_TRUE(terminated) << "no empty entry ends the list of " << id;
#if DPAL_SIM
    EXPECT_EQ(ids[units - 2], L'\0') << "the last entry ends with its terminator";
    EXPECT_EQ(ids[units - 1], L'\0') << "the list ends with an empty entry";
#endif
    EXPECT_TRUE(std::all_of(buffer.begin() + required, buffer.end(), [](BYTE b) {
      return b == 0xAB;
    })) << "written past the size";
    ++with_ids;
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
#if DPAL_SIM
  EXPECT_EQ(with_ids, 1);
  EXPECT_EQ(without_ids, 1);
#endif
}

// A software device of the test's own: written into the registry under Wine, added to the device
// tree in the sim, and removed again at both ends of the test.
class SoftwareDevice : public Devices {
 protected:
  static constexpr const WCHAR* kInstance = L"SWD\\DPALCONF\\0001";
  static constexpr const WCHAR* kKey = L"SYSTEM\\CurrentControlSet\\Enum\\SWD\\DPALCONF\\0001";
  void SetUp() override {
    Devices::SetUp();
    Remove();
#if DPAL_SIM
    sim::Device device;
    device.instance_id = kInstance;
    device.hardware_ids = {L"SWC\\VEN_DPALCONF&PID_TEST", L"SWC\\VEN_DPALCONF"};
    device.compatible_ids = {L"SWC\\DPALCONF_COMPATIBLE"};
    device.class_guid = kSoftwareComponentClass;
    sim::AddDevice(device);
#else
    dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, kKey, L"HardwareID",
                               L"SWC\\VEN_DPALCONF&PID_TEST\0SWC\\VEN_DPALCONF"s);
    dpal::test::PutMultiString(HKEY_LOCAL_MACHINE, kKey, L"CompatibleIDs",
                               L"SWC\\DPALCONF_COMPATIBLE");
    dpal::test::PutString(HKEY_LOCAL_MACHINE, kKey, L"ClassGUID",
                          L"{5c4c3332-344d-483c-8739-259e934c9cc8}");
#endif
  }
  void TearDown() override {
    Remove();
    Devices::TearDown();
  }

 private:
  void Remove() {
#if DPAL_SIM
    sim::RemoveDevice(kInstance);
#else
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
#endif
  }
};

TEST_F(SoftwareDevice, IsFoundWithItsIdsAndTakesItsDriverInf) {
  DeviceSet owner(
      SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  ASSERT_NE(owner.set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA data = Element();
  bool found = false;
  for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(owner.set, i, &data); ++i) {
    found = Upper(InstanceId(owner.set, &data)) == kInstance;
  }
  ASSERT_TRUE(found) << "the device is not enumerated";
  EXPECT_TRUE(IsEqualGUID(data.ClassGuid, kSoftwareComponentClass));
  // It is in the sets of its enumerator and of its class, and not in another class's set.
  auto has = [](const std::vector<std::wstring>& ids) {
    return std::find(ids.begin(), ids.end(), kInstance) != ids.end();
  };
  EXPECT_TRUE(has(InstanceIds(nullptr, L"SWD", DIGCF_PRESENT | DIGCF_ALLCLASSES)));
  EXPECT_TRUE(has(InstanceIds(&kSoftwareComponentClass, nullptr, DIGCF_PRESENT)));
  EXPECT_FALSE(has(InstanceIds(&kDisplayClass, nullptr, DIGCF_PRESENT)));

  DWORD type = kSentinel;
  EXPECT_EQ(RegistryProperty(owner.set, &data, SPDRP_HARDWAREID, &type),
            Bytes(L"SWC\\VEN_DPALCONF&PID_TEST\0SWC\\VEN_DPALCONF\0\0"s));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(RegistryProperty(owner.set, &data, SPDRP_COMPATIBLEIDS, &type),
            Bytes(L"SWC\\DPALCONF_COMPATIBLE\0\0"s));

  // No driver INF yet: not found, and the type says empty.
  DEVPROPTYPE property_type = kSentinel;
  DWORD required = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDevicePropertyW(owner.set, &data, &DEVPKEY_Device_DriverInfPath,
                                         &property_type, nullptr, 0, &required, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_EQ(property_type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_EMPTY));

  const WCHAR inf[] = L"oem42.inf";
  ASSERT_TRUE(SetupDiSetDevicePropertyW(owner.set, &data, &DEVPKEY_Device_DriverInfPath,
                                        DEVPROP_TYPE_STRING, reinterpret_cast<const BYTE*>(inf),
                                        sizeof(inf), 0))
      << "error " << GetLastError();

  // The size protocol, then the read the device lookup makes: a 260-character buffer.
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDevicePropertyW(owner.set, &data, &DEVPKEY_Device_DriverInfPath,
                                         &property_type, nullptr, 0, &required, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, sizeof(inf));
  EXPECT_EQ(property_type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING));
  WCHAR name[260];
  std::fill(std::begin(name), std::end(name), L'#');
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDevicePropertyW(owner.set, &data, &DEVPKEY_Device_DriverInfPath,
                                         &property_type, reinterpret_cast<BYTE*>(name),
                                         sizeof(inf) - 1, &required, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  property_type = kSentinel;
  ASSERT_TRUE(SetupDiGetDevicePropertyW(owner.set, &data, &DEVPKEY_Device_DriverInfPath,
                                        &property_type, reinterpret_cast<BYTE*>(name), sizeof(name),
                                        &required, 0))
      << "error " << GetLastError();
  EXPECT_EQ(std::wstring(name), inf);
  EXPECT_EQ(name[std::size(inf)], L'#') << "written past the value";
  EXPECT_EQ(property_type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING));

  // Flags are reserved.
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDevicePropertyW(owner.set, &data, &DEVPKEY_Device_DriverInfPath,
                                         &property_type, reinterpret_cast<BYTE*>(name),
                                         sizeof(name), &required, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

#if DPAL_SIM

TEST_F(Devices, PresenceClassAndEnumeratorChooseTheDevices) {
  sim::Device present;
  present.instance_id = L"SWD\\DPAL\\A";
  present.hardware_ids = {L"SWC\\A"};
  present.class_guid = kSoftwareComponentClass;
  sim::AddDevice(present);
  sim::Device absent = present;
  absent.instance_id = L"SWD\\DPAL\\B";
  absent.present = false;
  sim::AddDevice(absent);

  const std::wstring adapter = L"PCI\\VEN_8086&DEV_9A49\\3&11583659&0&10";
  const std::wstring root = L"ROOT\\SYSTEM\\0000";
  const DWORD all = DIGCF_ALLCLASSES;
  const DWORD present_all = DIGCF_PRESENT | DIGCF_ALLCLASSES;
  using Ids = std::vector<std::wstring>;
  EXPECT_EQ(InstanceIds(nullptr, nullptr, present_all), (Ids{adapter, root, L"SWD\\DPAL\\A"}));
  EXPECT_EQ(InstanceIds(nullptr, nullptr, all),
            (Ids{adapter, root, L"SWD\\DPAL\\A", L"SWD\\DPAL\\B"}));
  EXPECT_EQ(InstanceIds(&kSoftwareComponentClass, nullptr, DIGCF_PRESENT), (Ids{L"SWD\\DPAL\\A"}));
  EXPECT_EQ(InstanceIds(&kDisplayClass, nullptr, 0), (Ids{adapter}));
  EXPECT_EQ(InstanceIds(nullptr, L"swd", all), (Ids{L"SWD\\DPAL\\A", L"SWD\\DPAL\\B"}));
  EXPECT_EQ(InstanceIds(nullptr, L"SWD\\DPAL\\B", all), (Ids{L"SWD\\DPAL\\B"}));

  ASSERT_TRUE(sim::SetDevicePresent(L"SWD\\DPAL\\B", true));
  ASSERT_TRUE(sim::SetDevicePresent(L"SWD\\DPAL\\A", false));
  EXPECT_EQ(InstanceIds(nullptr, L"SWD", present_all), (Ids{L"SWD\\DPAL\\B"}));
}

TEST_F(Devices, MissingPropertiesAnswerTheirOwnErrors) {
  DeviceSet owner(
      SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  SP_DEVINFO_DATA data = Element();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(owner.set, 0, &data));

  for (DWORD property :
       {static_cast<DWORD>(SPDRP_HARDWAREID), static_cast<DWORD>(SPDRP_COMPATIBLEIDS),
        static_cast<DWORD>(SPDRP_FRIENDLYNAME)}) {
    DWORD required = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(owner.set, &data, property, nullptr, nullptr, 0,
                                                   &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << "property " << property;
  }
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(owner.set, &data, SPDRP_MAXIMUM_PROPERTY, nullptr,
                                                 nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));

  DEVPROPTYPE type = kSentinel;
  DWORD required = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDevicePropertyW(owner.set, &data, &DEVPKEY_Device_DriverInfPath, &type,
                                         nullptr, 0, &required, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_EMPTY));
  EXPECT_EQ(required, 0u);
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDevicePropertyW(owner.set, &data, &DEVPKEY_Device_DriverInfPath, nullptr,
                                         nullptr, 0, &required, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

  // The INF a device was installed with, as the device tree gives it.
  DeviceSet display(SetupDiGetClassDevsW(&kDisplayClass, nullptr, nullptr, DIGCF_PRESENT));
  ASSERT_TRUE(SetupDiEnumDeviceInfo(display.set, 0, &data));
  WCHAR inf[260] = {};
  ASSERT_TRUE(SetupDiGetDevicePropertyW(display.set, &data, &DEVPKEY_Device_DriverInfPath, &type,
                                        reinterpret_cast<BYTE*>(inf), sizeof(inf), &required, 0));
  EXPECT_EQ(std::wstring(inf), L"oem3.inf");
}

TEST_F(Devices, AnElementBelongsToItsSetAndToADeviceStillThere) {
  DeviceSet first(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  DeviceSet second(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  SP_DEVINFO_DATA data = Element();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(first.set, 0, &data));
  DWORD required = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(second.set, &data, SPDRP_HARDWAREID, nullptr,
                                                 nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
      << "element of another set";

  SP_DEVINFO_DATA short_data = data;
  short_data.cbSize = 28;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(first.set, &short_data, SPDRP_HARDWAREID, nullptr,
                                                 nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  ASSERT_TRUE(sim::RemoveDevice(L"PCI\\VEN_8086&DEV_9A49\\3&11583659&0&10"));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(first.set, &data, SPDRP_HARDWAREID, nullptr,
                                                 nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
}

TEST_F(Devices, OnlyAdministratorsSetDeviceProperties) {
  sim::SetProcessIdentity(sim::StandardUser(L"S-1-5-21-1000-1000-1000-1001", L"alice"));
  DeviceSet owner(SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES));
  SP_DEVINFO_DATA data = Element();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(owner.set, 0, &data));
  const WCHAR inf[] = L"oem9.inf";
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiSetDevicePropertyW(owner.set, &data, &DEVPKEY_Device_DriverInfPath,
                                         DEVPROP_TYPE_STRING, reinterpret_cast<const BYTE*>(inf),
                                         sizeof(inf), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(sim::Devices()[1].driver_inf, L"");
}

#endif  // DPAL_SIM

}  // namespace
