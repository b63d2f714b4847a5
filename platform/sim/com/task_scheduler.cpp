// The Task Scheduler: its folders and tasks, and the objects of its COM interfaces (the service
// connection, folders, registered tasks) with the results Windows gives.
#include <algorithm>
#include <map>

#include "platform/sim/com/internal.h"
#include "platform/sim/kernel/entry.h"
#include "platform/sim/kernel/lock.h"
#include "platform/sim/kernel/names.h"
#include "platform/sim/security/internal.h"

namespace sim {
namespace {

struct Scheduler {
  std::map<std::wstring, std::wstring> folders;  // upper-case path -> path as made; root "\"
  std::map<std::wstring, ScheduledTask> tasks;   // by upper-case path
};

Scheduler& S() {
  static Scheduler* scheduler = new Scheduler();
  return *scheduler;
}

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

std::wstring Key(const std::wstring& path) { return Upper(path); }

std::wstring ParentOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == 0 ? L"\\" : path.substr(0, slash);
}

std::wstring LeafOf(const std::wstring& path) {
  return path == L"\\" ? path : path.substr(path.find_last_of(L'\\') + 1);
}

// The absolute path a folder's method is given: absolute ("\a\b") or relative to the folder
// ("a\b"); empty for the folder itself. Empty names inside the path are invalid; one trailing
// backslash is allowed.
HRESULT ResolvePath(const std::wstring& folder, const BSTR given, std::wstring* full) {
  std::wstring path = given == nullptr ? std::wstring() : std::wstring(given);
  if (path.size() > 1 && path.back() == L'\\') path.pop_back();
  if (path.empty()) {
    *full = folder;
    return S_OK;
  }
  if (path[0] != L'\\') path = (folder == L"\\" ? folder : folder + L"\\") + path;
  if (path != L"\\") {
    size_t start = 1;
    while (start <= path.size()) {
      const size_t end = std::min(path.find(L'\\', start), path.size());
      if (end == start) return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
      start = end + 1;
    }
  }
  *full = path;
  return S_OK;
}

bool FolderExistsLocked(const std::wstring& path) { return S().folders.count(Key(path)) != 0; }

bool HoldsAnythingLocked(const std::wstring& folder) {
  const std::wstring prefix = Key(folder) + L"\\";
  auto below = [&](const std::wstring& key) { return key.compare(0, prefix.size(), prefix) == 0; };
  for (const auto& [key, path] : S().folders) {
    if (below(key)) return true;
  }
  for (const auto& [key, task] : S().tasks) {
    if (below(key)) return true;
  }
  return false;
}

void MakeFoldersLocked(const std::wstring& path) {
  if (path == L"\\" || FolderExistsLocked(path)) return;
  MakeFoldersLocked(ParentOf(path));
  S().folders[Key(path)] = path;
}

bool WellFormedTaskXml(const std::wstring& xml) {
  const size_t open = xml.find(L"<Task");
  return open != std::wstring::npos && xml.find(L"</Task>", open) != std::wstring::npos;
}

bool EmptyVariant(const VARIANT& v) {
  return v.vt == VT_EMPTY || v.vt == VT_NULL ||
         (v.vt == VT_BSTR && (v.bstrVal == nullptr || v.bstrVal[0] == 0));
}

// Copies a text into a new BSTR for an out parameter.
HRESULT OutString(const std::wstring& text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = SysAllocString(text.c_str());
  return *out ? S_OK : E_OUTOFMEMORY;
}

// The method's entry: trace and faults under the interface's name.
DWORD EnterMethod(const char* name, std::wstring args) { return Enter(name, std::move(args)); }

std::wstring VariantText(const VARIANT& v) {
  if (v.vt == VT_BSTR) return ArgText(v.bstrVal);
  return L"vt " + ArgText(static_cast<int>(v.vt));
}

class RegisteredTask final : public IRegisteredTask, public ComObject {
 public:
  explicit RegisteredTask(std::wstring path) : path_(std::move(path)) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IRegisteredTask) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IRegisteredTask*>(this);
    return S_OK;
  }
  ULONG AddRef() override { return AddRefObject(); }
  ULONG Release() override { return ReleaseObject(); }
  HRESULT get_Name(BSTR* name) override {
    if (DWORD e = EnterMethod("IRegisteredTask::get_Name", L"")) return HRESULT_FROM_WIN32(e);
    return OutString(LeafOf(path_), name);
  }
  HRESULT get_Path(BSTR* path) override {
    if (DWORD e = EnterMethod("IRegisteredTask::get_Path", L"")) return HRESULT_FROM_WIN32(e);
    return OutString(path_, path);
  }

 private:
  const std::wstring path_;
};

class TaskFolder final : public ITaskFolder, public ComObject {
 public:
  TaskFolder(std::wstring path, bool may_change)
      : path_(std::move(path)), may_change_(may_change) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_ITaskFolder) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<ITaskFolder*>(this);
    return S_OK;
  }
  ULONG AddRef() override { return AddRefObject(); }
  ULONG Release() override { return ReleaseObject(); }

  HRESULT get_Name(BSTR* name) override {
    if (DWORD e = EnterMethod("ITaskFolder::get_Name", path_)) return HRESULT_FROM_WIN32(e);
    return OutString(LeafOf(path_), name);
  }
  HRESULT get_Path(BSTR* path) override {
    if (DWORD e = EnterMethod("ITaskFolder::get_Path", path_)) return HRESULT_FROM_WIN32(e);
    return OutString(path_, path);
  }

  HRESULT GetFolder(BSTR path, ITaskFolder** folder) override {
    if (folder != nullptr) *folder = nullptr;
    if (DWORD e = EnterMethod("ITaskFolder::GetFolder", Args(path_.c_str(), path))) {
      return HRESULT_FROM_WIN32(e);
    }
    if (folder == nullptr) return E_POINTER;
    std::wstring full;
    if (HRESULT hr = ResolvePath(path_, path, &full); FAILED(hr)) return hr;
    Lock lock(MachineLock());
    if (!FolderExistsLocked(full)) return kNotFound;
    *folder = NewLocked(S().folders[Key(full)], may_change_);
    return S_OK;
  }

  HRESULT CreateFolder(BSTR subFolderName, VARIANT sddl, ITaskFolder** folder) override {
    if (folder != nullptr) *folder = nullptr;
    if (DWORD e = EnterMethod("ITaskFolder::CreateFolder",
                              Args(path_.c_str(), subFolderName) + L", " + VariantText(sddl))) {
      return HRESULT_FROM_WIN32(e);
    }
    if (subFolderName == nullptr || subFolderName[0] == 0) return E_INVALIDARG;
    if (sddl.vt != VT_EMPTY && sddl.vt != VT_NULL) return E_INVALIDARG;
    std::wstring full;
    if (HRESULT hr = ResolvePath(path_, subFolderName, &full); FAILED(hr)) return hr;
    Lock lock(MachineLock());
    if (!may_change_) return E_ACCESSDENIED;
    if (FolderExistsLocked(full)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    MakeFoldersLocked(full);
    if (folder != nullptr) *folder = NewLocked(full, may_change_);
    return S_OK;
  }

  HRESULT DeleteFolder(BSTR subFolderName, LONG flags) override {
    if (DWORD e =
            EnterMethod("ITaskFolder::DeleteFolder", Args(path_.c_str(), subFolderName, flags))) {
      return HRESULT_FROM_WIN32(e);
    }
    if (flags != 0) return E_INVALIDARG;
    std::wstring full;
    if (HRESULT hr = ResolvePath(path_, subFolderName, &full); FAILED(hr)) return hr;
    if (full == L"\\") return E_INVALIDARG;
    Lock lock(MachineLock());
    if (!FolderExistsLocked(full)) return kNotFound;
    if (!may_change_) return E_ACCESSDENIED;
    if (HoldsAnythingLocked(full)) return HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY);
    S().folders.erase(Key(full));
    return S_OK;
  }

  HRESULT GetTask(BSTR path, IRegisteredTask** task) override {
    if (task != nullptr) *task = nullptr;
    if (DWORD e = EnterMethod("ITaskFolder::GetTask", Args(path_.c_str(), path))) {
      return HRESULT_FROM_WIN32(e);
    }
    if (task == nullptr) return E_POINTER;
    std::wstring full;
    if (HRESULT hr = ResolvePath(path_, path, &full); FAILED(hr)) return hr;
    Lock lock(MachineLock());
    auto it = S().tasks.find(Key(full));
    if (it == S().tasks.end()) return kNotFound;
    *task = NewTaskLocked(it->second.path);
    return S_OK;
  }

  HRESULT DeleteTask(BSTR name, LONG flags) override {
    if (DWORD e = EnterMethod("ITaskFolder::DeleteTask", Args(path_.c_str(), name, flags))) {
      return HRESULT_FROM_WIN32(e);
    }
    if (flags != 0 || name == nullptr || name[0] == 0) return E_INVALIDARG;
    std::wstring full;
    if (HRESULT hr = ResolvePath(path_, name, &full); FAILED(hr)) return hr;
    Lock lock(MachineLock());
    auto it = S().tasks.find(Key(full));
    if (it == S().tasks.end()) return kNotFound;
    if (!may_change_) return E_ACCESSDENIED;
    S().tasks.erase(it);
    return S_OK;
  }

  HRESULT RegisterTask(BSTR path, BSTR xmlText, LONG flags, VARIANT userId, VARIANT password,
                       TASK_LOGON_TYPE logonType, VARIANT sddl, IRegisteredTask** task) override {
    if (task != nullptr) *task = nullptr;
    if (DWORD e = EnterMethod("ITaskFolder::RegisterTask",
                              Args(path_.c_str(), path, flags, static_cast<int>(logonType)))) {
      return HRESULT_FROM_WIN32(e);
    }
    (void)userId;
    (void)password;
    (void)sddl;
    constexpr LONG kKnown = TASK_VALIDATE_ONLY | TASK_CREATE | TASK_UPDATE | TASK_DISABLE |
                            TASK_DONT_ADD_PRINCIPAL_ACE | TASK_IGNORE_REGISTRATION_TRIGGERS;
    if ((flags & ~kKnown) != 0 || (flags & (TASK_VALIDATE_ONLY | TASK_CREATE_OR_UPDATE)) == 0 ||
        path == nullptr || path[0] == 0 || xmlText == nullptr) {
      return E_INVALIDARG;
    }
    if (!WellFormedTaskXml(xmlText)) return SCHED_E_MALFORMEDXML;
    if (flags & TASK_VALIDATE_ONLY) return S_OK;
    std::wstring full;
    if (HRESULT hr = ResolvePath(path_, path, &full); FAILED(hr)) return hr;
    if (full == L"\\") return E_INVALIDARG;
    Lock lock(MachineLock());
    if (!may_change_) return E_ACCESSDENIED;
    const std::wstring key = Key(full);
    const bool exists = S().tasks.count(key) != 0;
    if (exists && !(flags & TASK_UPDATE)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    if (!exists && !(flags & TASK_CREATE)) return kNotFound;
    if (FolderExistsLocked(full)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    MakeFoldersLocked(ParentOf(full));
    S().tasks[key] = ScheduledTask{exists ? S().tasks[key].path : full, xmlText};
    if (task != nullptr) *task = NewTaskLocked(S().tasks[key].path);
    return S_OK;
  }

  static TaskFolder* NewLocked(const std::wstring& path, bool may_change) {
    auto* folder = new TaskFolder(path, may_change);
    TrackObjectLocked(folder);
    return folder;
  }

 private:
  static RegisteredTask* NewTaskLocked(const std::wstring& path) {
    auto* task = new RegisteredTask(path);
    TrackObjectLocked(task);
    return task;
  }

  const std::wstring path_;
  const bool may_change_;
};

class TaskService final : public ITaskService, public ComObject {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_ITaskService) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<ITaskService*>(this);
    return S_OK;
  }
  ULONG AddRef() override { return AddRefObject(); }
  ULONG Release() override { return ReleaseObject(); }

  HRESULT GetFolder(BSTR path, ITaskFolder** folder) override {
    if (folder != nullptr) *folder = nullptr;
    if (DWORD e = EnterMethod("ITaskService::GetFolder", Args(path))) return HRESULT_FROM_WIN32(e);
    if (folder == nullptr) return E_POINTER;
    Lock lock(MachineLock());
    if (!connected_) return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
    std::wstring full;
    if (HRESULT hr = ResolvePath(L"\\", path, &full); FAILED(hr)) return hr;
    if (!FolderExistsLocked(full)) return kNotFound;
    *folder = TaskFolder::NewLocked(S().folders[Key(full)], may_change_);
    return S_OK;
  }

  HRESULT Connect(VARIANT serverName, VARIANT user, VARIANT domain, VARIANT password) override {
    if (DWORD e = EnterMethod("ITaskService::Connect",
                              VariantText(serverName) + L", " + VariantText(user) + L", " +
                                  VariantText(domain) + L", " + VariantText(password))) {
      return HRESULT_FROM_WIN32(e);
    }
    if (!EmptyVariant(serverName)) return HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);
    if (!EmptyVariant(user) || !EmptyVariant(domain) || !EmptyVariant(password)) {
      return E_INVALIDARG;
    }
    Lock lock(MachineLock());
    const std::shared_ptr<Token> token = EffectiveTokenLocked();
    connected_ = true;
    may_change_ = token->administrator || IsSystemSid(token->user_sid);
    return S_OK;
  }

  HRESULT get_Connected(VARIANT_BOOL* connected) override {
    if (DWORD e = EnterMethod("ITaskService::get_Connected", L"")) return HRESULT_FROM_WIN32(e);
    if (connected == nullptr) return E_POINTER;
    Lock lock(MachineLock());
    *connected = connected_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }

 private:
  bool connected_ = false;
  bool may_change_ = false;
};

}  // namespace

HRESULT CreateTaskServiceLocked(REFIID riid, void** ppv) {
  if (riid != IID_IUnknown && riid != IID_ITaskService) return E_NOINTERFACE;
  auto* service = new TaskService();
  TrackObjectLocked(service);
  *ppv = static_cast<ITaskService*>(service);
  return S_OK;
}

void ResetTaskSchedulerLocked() {
  S().folders.clear();
  S().tasks.clear();
  S().folders[L"\\"] = L"\\";
}

void SnapshotTaskSchedulerLocked(Snapshot& out) {
  for (const auto& [key, path] : S().folders) {
    if (path != L"\\") out.Put("tasks", Utf8(path), "folder");
  }
  for (const auto& [key, task] : S().tasks) {
    const std::string xml = Utf8(task.xml);
    out.Put("tasks", Utf8(task.path),
            "task, definition sha256 " +
                DigestText(reinterpret_cast<const unsigned char*>(xml.data()), xml.size()));
  }
}

// ----- Test-facing side ----------------------------------------------------------------------

std::wstring TaskXml(const std::wstring& command) {
  return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
         L"<Task version=\"1.2\" "
         L"xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
         L"  <Actions Context=\"Author\">\n"
         L"    <Exec><Command>" +
         command +
         L"</Command></Exec>\n"
         L"  </Actions>\n"
         L"</Task>\n";
}

void PutScheduledTask(const std::wstring& path, const std::wstring& xml) {
  Lock lock(MachineLock());
  MakeFoldersLocked(ParentOf(path));
  S().tasks[Key(path)] = ScheduledTask{path, xml};
}

void MakeTaskFolder(const std::wstring& path) {
  Lock lock(MachineLock());
  MakeFoldersLocked(path);
}

bool TaskExists(const std::wstring& path) {
  Lock lock(MachineLock());
  return S().tasks.count(Key(path)) != 0;
}

bool TaskFolderExists(const std::wstring& path) {
  Lock lock(MachineLock());
  return FolderExistsLocked(path);
}

std::vector<std::wstring> TaskFolders() {
  Lock lock(MachineLock());
  std::vector<std::wstring> folders;
  for (const auto& [key, path] : S().folders) {
    if (path != L"\\") folders.push_back(path);
  }
  return folders;
}

std::vector<ScheduledTask> ScheduledTasks() {
  Lock lock(MachineLock());
  std::vector<ScheduledTask> tasks;
  for (const auto& [key, task] : S().tasks) tasks.push_back(task);
  return tasks;
}

}  // namespace sim

// ----- The class and its interfaces ------------------------------------------------------------

extern "C" const CLSID CLSID_TaskScheduler = {
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
extern "C" const IID IID_ITaskService = {
    0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
extern "C" const IID IID_ITaskFolder = {
    0x8CFAC062, 0xA080, 0x4C15, {0x9A, 0x88, 0xAA, 0x7C, 0x2A, 0xF8, 0x0D, 0xFC}};
extern "C" const IID IID_IRegisteredTask = {
    0x9C86F320, 0xDEE3, 0x4DD1, {0xB9, 0x72, 0xA3, 0x03, 0xF2, 0x6B, 0x06, 0x1E}};
