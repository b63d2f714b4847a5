#include "tools/core_client.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "common/module.h"
#include "common/registry_layout.h"
#include "core/dpal_core.h"
#include "platform/sim/sim.h"
#include "harness/laptop.h"

namespace dpal::client {

namespace {

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

int KindOf(const std::string& word) { return word == "hdr" ? 2 : 1; }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// DPALCore.dll as the client loads it, with the exports it calls.
struct Library {
  Library() : module(LoadLibraryExW(laptop::kCoreLibrary.c_str(), nullptr, 0)) {}
  template <typename F>
  F Export(const char* name) const {
    return ExportOf<F>(module, name);
  }
  UniqueModule module;
};

std::string Result(const char* call, const std::string& arguments, int result) {
  return std::string(call) + "(" + arguments + ") -> " + std::to_string(result);
}

const char* WaitMeaning(int code) {
  switch (code) {
    case 0: return "ended without a change to report";
    case 1: return "the user's state could not be read at the start";
    case 2: return "the user's state changed to 1";
    case 3: return "the user's state changed to 0";
    default: return "?";
  }
}

void Wait(const Library& dll, const std::vector<std::string>& w, DWORD session,
          std::vector<Line>* lines) {
  const auto wait = dll.Export<decltype(&::WaitForUsrUpdate)>("WaitForUsrUpdate");
  const auto stop = dll.Export<decltype(&::StopWaitForUsrUpdate)>("StopWaitForUsrUpdate");
  if (wait == nullptr || stop == nullptr) {
    lines->push_back({"client", "DPALCore.dll lacks the wait"});
    return;
  }
  // The client's account is LocalSystem: its HKEY_CURRENT_USER is LocalSystem's own hive.
  const std::wstring own_state =
      std::wstring(sim::kLocalSystemSid) + L"\\" + layout::kUserApplyStateKey;
  auto put = [&](DWORD value) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_USERS, own_state.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                    KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExW(key, layout::kStateValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof(value));
    RegCloseKey(key);
  };
  const bool stopping = w[2] == "stop";
  const DWORD target = stopping ? 0 : (w[2] == "1" ? 1 : 0);
  if (!stopping) {
    put(1 - target);
    lines->push_back(
        {"registry", "the client account's user state: " + std::to_string(1 - target)});
  }
  std::atomic<int> code{-1};
  // Armed once the wait has gone on to wait (the arming call is counted as it begins).
  const uint64_t waits = sim::CallCount("WaitForMultipleObjects");
  sim::Identity client = sim::LocalSystem(laptop::kProfileProgram);
  client.session_id = session;
  std::thread waiter([&] { sim::RunAs(client, [&] { code = wait(); }); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (code < 0 && sim::CallCount("WaitForMultipleObjects") == waits &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  lines->push_back({"client", "WaitForUsrUpdate() waits"});
  if (stopping) {
    lines->push_back({"client", Result("StopWaitForUsrUpdate", "", stop())});
  } else {
    put(target);
    lines->push_back({"registry", "another program of the client's account: user state " +
                                      std::to_string(target)});
  }
  waiter.join();
  lines->push_back({"client", "WaitForUsrUpdate() -> " + std::to_string(code.load()) + " (" +
                                  WaitMeaning(code) + ")"});
}

}  // namespace

std::string Check(const std::vector<std::string>& w) {
  const size_t args = w.size() - 1;
  if (args == 0) return "'client' takes state, set, read, disassociate or wait";
  const std::string& what = w[1];
  auto kind = [](const std::string& word) { return word == "sdr" || word == "hdr"; };
  if (what == "state") {
    const bool scope = args == 3 && (w[2] == "user" || w[2] == "machine" || w[2] == "both");
    return scope && (w[3] == "0" || w[3] == "1") ? ""
                                                 : "'client state' takes user|machine|both 0|1";
  }
  if (what == "set") return args == 3 && kind(w[2]) ? "" : "'client set' takes sdr|hdr NAME";
  if (what == "read") return args == 2 && kind(w[2]) ? "" : "'client read' takes sdr|hdr";
  if (what == "disassociate") {
    return args == 4 && (w[2] == "user" || w[2] == "machine") && kind(w[3])
               ? ""
               : "'client disassociate' takes user|machine sdr|hdr NAME";
  }
  if (what == "wait") {
    return args == 2 && (w[2] == "stop" || w[2] == "0" || w[2] == "1")
               ? ""
               : "'client wait' takes stop, 0 or 1";
  }
  if (what == "save") return args == 2 ? "" : "'client save' takes a profile name";
  return "'client' takes state, set, read, disassociate, save or wait, not '" + what + "'";
}

std::string Describe(const std::vector<std::string>& w) {
  const std::string& what = w[1];
  if (what == "state") {
    const std::string whom = w[2] == "both" ? "the user and the machine" : "the " + w[2];
    return "a client switches the profiles " + std::string(w[3] == "1" ? "on" : "off") + " for " +
           whom;
  }
  if (what == "set") return "a client makes " + w[3] + " the panel's " + w[2] + " default";
  if (what == "read") return "a client reads the panel's " + w[2] + " defaults";
  if (what == "disassociate") {
    return "a client removes " + w[4] + " from the " + w[2] + "'s " + w[3] + " list";
  }
  if (what == "save") return "a client records " + w[2] + " as installed for its account";
  if (w[2] == "stop") return "a client waits for the user's update, then stops the wait";
  return "a client waits for the user's update";
}

std::vector<Line> Run(const std::vector<std::string>& w, DWORD console_session) {
  std::vector<Line> lines;
  sim::Identity client = sim::LocalSystem(laptop::kProfileProgram);
  client.session_id = console_session;
  const std::string& what = w[1];
  if (what == "wait") {
    Library dll;
    Wait(dll, w, console_session, &lines);
    return lines;
  }
  sim::RunAs(client, [&] {
    Library dll;
    if (!dll.module) {
      lines.push_back({"client", "DPALCore.dll does not load"});
      return;
    }
    if (what == "state") {
      const int target = w[2] == "both" ? 1 : w[2] == "user" ? 2 : 3;
      const DWORD value = w[3] == "1" ? 1 : 0;
      const auto save = dll.Export<decltype(&::SaveCurrentApplyStatus)>("SaveCurrentApplyStatus");
      lines.push_back({"client", Result("SaveCurrentApplyStatus",
                                        std::to_string(target) + ", " + std::to_string(value),
                                        save(target, value))});
    } else if (what == "set") {
      const auto set = dll.Export<decltype(&::SetDefaultColorProfileToPrimaryMonitor)>(
          "SetDefaultColorProfileToPrimaryMonitor");
      lines.push_back({"client", Result("SetDefaultColorProfileToPrimaryMonitor",
                                        std::to_string(KindOf(w[2])) + ", " + Quoted(w[3]),
                                        set(KindOf(w[2]), Widen(w[3]).c_str()))});
    } else if (what == "read") {
      for (const char* name : {"GetDefaultUserProfile", "GetDefaultSystemProfile"}) {
        const auto get = dll.Export<decltype(&::GetDefaultUserProfile)>(name);
        WCHAR buffer[MAX_PATH] = {};
        const int result = get(KindOf(w[2]), MAX_PATH, buffer);
        lines.push_back({"client", Result(name, std::to_string(KindOf(w[2])) + ", 260", result) +
                                       (result ? "  " + Quoted(Narrow(buffer)) : "")});
      }
    } else if (what == "disassociate") {
      const char* name =
          w[2] == "user" ? "DisassociateUserColorProfile" : "DisassociateSystemColorProfile";
      const auto remove = dll.Export<decltype(&::DisassociateUserColorProfile)>(name);
      lines.push_back({"client", Result(name, std::to_string(KindOf(w[3])) + ", " + Quoted(w[4]),
                                        remove(KindOf(w[3]), Widen(w[4]).c_str()))});
    } else if (what == "save") {
      const auto save = dll.Export<decltype(&::SaveUserProfile)>("SaveUserProfile");
      lines.push_back(
          {"client", Result("SaveUserProfile", Quoted(w[2]), save(Widen(w[2]).c_str()))});
    }
  });
  return lines;
}

ColourState Snapshot(const std::wstring& console_user_sid) {
  ColourState state;
  if (!console_user_sid.empty()) {
    // The console user's apply state, which the client writes into the user's hive.
    const std::wstring key = console_user_sid + L"\\" + layout::kUserApplyStateKey;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_USERS, key.c_str(), layout::kStateValue, RRF_RT_REG_DWORD, nullptr,
                     &value, &size) == ERROR_SUCCESS) {
      state["user apply state"] = std::to_string(value);
    }
  }
  const struct {
    const char* name;
    DWORD subtype;
    bool advanced;
  } modes[] = {{"sdr", sim::kStandardDisplayColourMode, false},
               {"hdr", sim::kExtendedDisplayColourMode, true}};
  // The defaults of the laptop's two monitors (whether they are on or not), and the lists of
  // every source of the topology.
  const std::vector<std::pair<std::string, std::wstring>> monitors = {
      {"panel", sim::kPanelDeviceKey}, {"external monitor", sim::kExternalDeviceKey}};
  const sim::DisplayTopology topology = sim::Displays();
  for (const auto& mode : modes) {
    const std::vector<std::pair<std::string, std::wstring>> scopes = {{"machine", L""},
                                                                      {"user", console_user_sid}};
    for (const auto& [scope_name, sid] : scopes) {
      if (scope_name == "user" && sid.empty()) continue;
      for (const auto& [label, key] : monitors) {
        const std::wstring name = sim::DefaultColourProfile(sid, key, mode.subtype);
        if (!name.empty())
          state[scope_name + " " + mode.name + " default of the " + label] = Narrow(name);
      }
      for (const sim::Adapter& adapter : topology.adapters) {
        std::string list;
        for (const std::wstring& entry :
             sim::ColourAssociations(sid, adapter.luid, adapter.source_id, mode.advanced)) {
          list += (list.empty() ? "" : ", ") + Narrow(entry);
        }
        if (!list.empty()) {
          state[scope_name + " " + mode.name + " list of " + Narrow(adapter.gdi_name.substr(4))] =
              list;
        }
      }
    }
  }
  return state;
}

std::vector<Line> Changes(const ColourState& before, const ColourState& after) {
  std::vector<Line> lines;
  auto value = [](const ColourState& state, const std::string& key) {
    auto it = state.find(key);
    return it == state.end() ? std::string("none") : it->second;
  };
  ColourState keys = before;
  keys.insert(after.begin(), after.end());
  for (const auto& [key, ignored] : keys) {
    const std::string from = value(before, key);
    const std::string to = value(after, key);
    if (from == to) continue;
    lines.push_back(
        {key == "user apply state" ? "registry" : "colour", key + ": " + from + " -> " + to});
  }
  return lines;
}

}  // namespace dpal::client
