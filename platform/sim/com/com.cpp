// The COM library: each thread's apartment and its count of initialisations, the process's
// security, the one registered class, the objects handed out, and BSTR strings and VARIANTs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "platform/sim/com/internal.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/processes.h"

namespace sim {
namespace {

struct Apartment {
  uint64_t process = 0;
  DWORD model = COINIT_MULTITHREADED;  // or COINIT_APARTMENTTHREADED
  int count = 0;
};

// What the COM area keeps for a handed-out object or string: the process it belongs to, and
// whether the leak check still counts it (an ended process's and an old machine's are not).
struct Owner {
  uint64_t process = 0;
  bool counted = true;
};

struct TrackedObject {
  Owner owner;
  ULONG references = 1;
};

struct Com {
  std::map<uint64_t, Apartment> apartments;  // by thread number
  std::set<uint64_t> security_set;           // processes (0: the host)
  // Objects and strings stay allocated until they are released or freed, whatever happened to
  // their process: a stopped thread may still hold them.
  std::map<ComObject*, TrackedObject> objects;
  std::map<const void*, Owner> strings;  // BSTRs by the address handed out
};

Com& C() {
  static Com* com = new Com();
  return *com;
}

std::wstring GuidText(const GUID& g) {
  wchar_t text[40];
  std::swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                g.Data4[6], g.Data4[7]);
  return text;
}

Apartment* ThreadApartmentLocked() {
  auto it = C().apartments.find(ThreadNumber());
  return it == C().apartments.end() ? nullptr : &it->second;
}

// A thread outside any apartment may use COM when its process has a multithreaded apartment:
// it belongs to that one implicitly.
bool MayUseComLocked() {
  if (ThreadApartmentLocked() != nullptr) return true;
  const uint64_t process = CurrentProcessId();
  for (const auto& [thread, apartment] : C().apartments) {
    if (apartment.process == process && apartment.model == COINIT_MULTITHREADED) return true;
  }
  return false;
}

// A BSTR's block: the length in bytes at offset 4 (four bytes before the text, as on Windows),
// the text and its terminator.
constexpr size_t kPrefix = 8;

BSTR AllocateStringLocked(const OLECHAR* text, size_t length) {
  const size_t bytes = length * sizeof(OLECHAR);
  if (bytes > 0xFFFFFFFFu) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const uint32_t stored = static_cast<uint32_t>(bytes);
  std::memcpy(block + kPrefix - sizeof(stored), &stored, sizeof(stored));
  BSTR string = reinterpret_cast<BSTR>(block + kPrefix);
  if (text != nullptr) {
    std::memcpy(string, text, bytes);
  } else {
    std::memset(string, 0, bytes);
  }
  string[length] = 0;
  C().strings[string] = Owner{CurrentProcessId(), true};
  return string;
}

void FreeStringLocked(BSTR string) {
  auto it = C().strings.find(string);
  if (it == C().strings.end()) {
    // Windows would corrupt its heap; the sim stops at once so that the test shows where.
    std::fprintf(stderr, "sim: SysFreeString of a pointer that is no live BSTR\n");
    std::abort();
  }
  C().strings.erase(it);
  std::free(reinterpret_cast<unsigned char*>(string) - kPrefix);
}

}  // namespace

// ----- Objects ---------------------------------------------------------------------------------

void TrackObjectLocked(ComObject* object) {
  C().objects[object] = TrackedObject{Owner{CurrentProcessId(), true}, 1};
}

ULONG ComObject::AddRefObject() {
  Lock lock(MachineLock());
  return ++C().objects.at(this).references;
}

ULONG ComObject::ReleaseObject() {
  ULONG left = 0;
  {
    Lock lock(MachineLock());
    auto it = C().objects.find(this);
    if (it == C().objects.end()) {
      std::fprintf(stderr, "sim: Release of an object that COM no longer holds\n");
      std::abort();
    }
    left = --it->second.references;
    if (left == 0) C().objects.erase(it);
  }
  if (left == 0) delete this;
  return left;
}

// ----- Rows of the table of areas ---------------------------------------------------------------

void ResetComLocked() {
  Com& com = C();
  com.apartments.clear();
  com.security_set.clear();
  for (auto& [object, tracked] : com.objects) tracked.owner.counted = false;
  for (auto& [string, owner] : com.strings) owner.counted = false;
}

void ComLeaksLocked(LeakReport& report) {
  const Com& com = C();
  int initialisations = 0;
  for (const auto& [thread, apartment] : com.apartments) initialisations += apartment.count;
  if (initialisations) report.open_handles["COM initialisation"] += initialisations;
  for (const auto& [object, tracked] : com.objects) {
    if (tracked.owner.counted) ++report.open_handles["COM object"];
  }
  for (const auto& [string, owner] : com.strings) {
    if (owner.counted) ++report.open_handles["BSTR"];
  }
}

void ComProcessEndedLocked(const SimProcess& process) {
  Com& com = C();
  for (auto it = com.apartments.begin(); it != com.apartments.end();) {
    it = it->second.process == process.id ? com.apartments.erase(it) : std::next(it);
  }
  com.security_set.erase(process.id);
  for (auto& [object, tracked] : com.objects) {
    if (tracked.owner.process == process.id) tracked.owner.counted = false;
  }
  for (auto& [string, owner] : com.strings) {
    if (owner.process == process.id) owner.counted = false;
  }
}

// ----- Test-facing side ----------------------------------------------------------------------

int ComInitializationCount() {
  Lock lock(MachineLock());
  const Apartment* apartment = ThreadApartmentLocked();
  return apartment ? apartment->count : 0;
}

bool ComSecuritySet() {
  Lock lock(MachineLock());
  return C().security_set.count(CurrentProcessId()) != 0;
}

}  // namespace sim

// ----- Win32 ----------------------------------------------------------------------------------

using namespace sim;

extern "C" const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

extern "C" HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (DWORD e = SIM_ENTER(pvReserved, dwCoInit)) return HRESULT_FROM_WIN32(e);
  constexpr DWORD kKnown =
      COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
  if (pvReserved != nullptr || (dwCoInit & ~kKnown) != 0) return E_INVALIDARG;
  const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
  Lock lock(MachineLock());
  if (Apartment* apartment = ThreadApartmentLocked()) {
    if (apartment->model != model) return RPC_E_CHANGED_MODE;
    ++apartment->count;
    return S_FALSE;
  }
  C().apartments[ThreadNumber()] = Apartment{CurrentProcessId(), model, 1};
  return S_OK;
}

extern "C" void WINAPI CoUninitialize() {
  if (SIM_ENTER_RELEASE()) return;
  Lock lock(MachineLock());
  Apartment* apartment = ThreadApartmentLocked();
  if (apartment == nullptr) return;  // not initialised: nothing to undo
  if (--apartment->count == 0) C().apartments.erase(ThreadNumber());
}

extern "C" HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc,
                                               SOLE_AUTHENTICATION_SERVICE* asAuthSvc,
                                               void* pReserved1, DWORD dwAuthnLevel,
                                               DWORD dwImpLevel, void* pAuthList,
                                               DWORD dwCapabilities, void* pReserved3) {
  if (DWORD e = SIM_ENTER(pSecDesc, cAuthSvc, static_cast<const void*>(asAuthSvc), pReserved1,
                          dwAuthnLevel, dwImpLevel, pAuthList, dwCapabilities, pReserved3)) {
    return HRESULT_FROM_WIN32(e);
  }
  if (pSecDesc != nullptr || cAuthSvc != -1 || asAuthSvc != nullptr || pReserved1 != nullptr ||
      pAuthList != nullptr || dwCapabilities != EOAC_NONE || pReserved3 != nullptr ||
      dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE) {
    return E_INVALIDARG;
  }
  Lock lock(MachineLock());
  if (!MayUseComLocked()) return CO_E_NOTINITIALIZED;
  if (!C().security_set.insert(CurrentProcessId()).second) return RPC_E_TOO_LATE;
  return S_OK;
}

extern "C" HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                           REFIID riid, LPVOID* ppv) {
  const std::wstring args = GuidText(rclsid) + L", " +
                            ArgText(static_cast<const void*>(pUnkOuter)) + L", " +
                            ArgText(dwClsContext) + L", " + GuidText(riid);
  if (ppv != nullptr) *ppv = nullptr;
  if (DWORD e = Enter(__func__, args)) return HRESULT_FROM_WIN32(e);
  if (ppv == nullptr) return E_POINTER;
  Lock lock(MachineLock());
  if (!MayUseComLocked()) return CO_E_NOTINITIALIZED;
  if (rclsid != CLSID_TaskScheduler || !(dwClsContext & CLSCTX_INPROC_SERVER)) {
    return REGDB_E_CLASSNOTREG;
  }
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  return CreateTaskServiceLocked(riid, ppv);
}

extern "C" BSTR WINAPI SysAllocString(const OLECHAR* psz) {
  if (DWORD e = SIM_ENTER(psz)) return Fail(e, static_cast<BSTR>(nullptr));
  if (psz == nullptr) return nullptr;
  Lock lock(MachineLock());
  return AllocateStringLocked(psz, std::wcslen(psz));
}

extern "C" BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (DWORD e = SIM_ENTER(static_cast<const void*>(strIn), ui)) {
    return Fail(e, static_cast<BSTR>(nullptr));
  }
  Lock lock(MachineLock());
  return AllocateStringLocked(strIn, ui);
}

extern "C" void WINAPI SysFreeString(BSTR bstrString) {
  if (SIM_ENTER_RELEASE(static_cast<const void*>(bstrString))) return;
  if (bstrString == nullptr) return;
  Lock lock(MachineLock());
  FreeStringLocked(bstrString);
}

extern "C" UINT WINAPI SysStringLen(BSTR pbstr) {
  if (pbstr == nullptr) return 0;
  uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const unsigned char*>(pbstr) - sizeof(bytes), sizeof(bytes));
  return bytes / sizeof(OLECHAR);
}

extern "C" void WINAPI VariantInit(VARIANTARG* pvarg) {
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

extern "C" HRESULT WINAPI VariantClear(VARIANTARG* pvarg) {
  if (DWORD e = SIM_ENTER_RELEASE(static_cast<const void*>(pvarg))) return HRESULT_FROM_WIN32(e);
  if (pvarg == nullptr) return E_INVALIDARG;
  if (pvarg->vt == VT_BSTR && pvarg->bstrVal != nullptr) {
    Lock lock(MachineLock());
    FreeStringLocked(pvarg->bstrVal);
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}
