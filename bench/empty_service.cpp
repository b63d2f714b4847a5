// DPALEmptyService.exe: the smallest service there is, built like the package's programs, as the
// baseline for the service's footprint. It reports RUNNING, waits for a stop and reports STOPPED;
// nothing else.
//
// Built twice more as the floors between it and the service (the CMake file sets the macros):
//   DPAL_EMPTY_IMPORTS_LIKE_SERVICE  imports a function of every DLL the service imports, so
//                                    that the same DLLs load (DPALEmptyImports.exe);
//   DPAL_EMPTY_EXTRA_THREADS=N       and keeps N more threads waiting for the stop, as many as
//                                    the service keeps at idle besides its dispatcher and
//                                    ServiceMain (DPALEmptyLikeService.exe).
#include "platform/win32.h"

#if !defined(DPAL_EMPTY_EXTRA_THREADS)
#define DPAL_EMPTY_EXTRA_THREADS 0
#endif

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;

void Report(DWORD state) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(g_stop);
  }
  return NO_ERROR;
}

#if defined(DPAL_EMPTY_IMPORTS_LIKE_SERVICE)
// One function of each DLL the service imports (besides kernel32, advapi32 and the C runtime,
// which every program here imports), kept where the linker cannot drop them.
void* volatile g_imports[] = {
    reinterpret_cast<void*>(&SetupDiDestroyDeviceInfoList),  // setupapi
    reinterpret_cast<void*>(&SHGetFolderPathW),              // shell32
    reinterpret_cast<void*>(&StrRChrW),                      // shlwapi
    reinterpret_cast<void*>(&CreateEnvironmentBlock),        // userenv
    reinterpret_cast<void*>(&WTSQuerySessionInformationW),   // wtsapi32
};
#endif

DWORD WINAPI WaitForStop(LPVOID) {
  WaitForSingleObject(g_stop, INFINITE);
  return 0;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  g_status = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", Handler, nullptr);
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[DPAL_EMPTY_EXTRA_THREADS + 1] = {};
  for (int i = 0; i < DPAL_EMPTY_EXTRA_THREADS; ++i) {
    threads[i] = CreateThread(nullptr, 0, WaitForStop, nullptr, 0, nullptr);
  }
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  for (int i = 0; i < DPAL_EMPTY_EXTRA_THREADS; ++i) {
    if (threads[i] != nullptr) {
      WaitForSingleObject(threads[i], INFINITE);
      CloseHandle(threads[i]);
    }
  }
  Report(SERVICE_STOPPED);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  WCHAR name[] = L"DPALEmptyService";
  const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  return 0;
}
