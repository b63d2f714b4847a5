// The simulated Windows: the COM library (ole32; objbase.h, combaseapi.h), BSTR strings and
// VARIANTs (oleaut32; oleauto.h, wtypes.h), and the HRESULTs they answer (winerror.h).
#pragma once

#include "platform/sim/kernel/winbase.h"

// ---------------------------------------------------------------------------------------------
// Results (winerror.h)
// ---------------------------------------------------------------------------------------------
#define ERROR_ONLY_IF_CONNECTED 1251L

#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)
#define RPC_E_TOO_LATE ((HRESULT)0x80010119L)

// ---------------------------------------------------------------------------------------------
// The COM library (ole32)
// ---------------------------------------------------------------------------------------------
typedef enum tagCOINIT {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
} CLSCTX;
#define CLSCTX_ALL \
  (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#define RPC_C_AUTHN_LEVEL_DEFAULT 0
#define RPC_C_AUTHN_LEVEL_NONE 1
#define RPC_C_AUTHN_LEVEL_CONNECT 2
#define RPC_C_AUTHN_LEVEL_CALL 3
#define RPC_C_AUTHN_LEVEL_PKT 4
#define RPC_C_AUTHN_LEVEL_PKT_INTEGRITY 5
#define RPC_C_AUTHN_LEVEL_PKT_PRIVACY 6

#define RPC_C_IMP_LEVEL_DEFAULT 0
#define RPC_C_IMP_LEVEL_ANONYMOUS 1
#define RPC_C_IMP_LEVEL_IDENTIFY 2
#define RPC_C_IMP_LEVEL_IMPERSONATE 3
#define RPC_C_IMP_LEVEL_DELEGATE 4

typedef enum tagEOLE_AUTHENTICATION_CAPABILITIES {
  EOAC_NONE = 0x0,
} EOLE_AUTHENTICATION_CAPABILITIES;

typedef struct tagSOLE_AUTHENTICATION_SERVICE SOLE_AUTHENTICATION_SERVICE;
typedef void* PSECURITY_DESCRIPTOR;

extern "C" {
extern const IID IID_IUnknown;

// The calling thread's apartment: the first call enters one (S_OK), each further call in the same
// model is counted (S_FALSE) and one in the other model is refused (RPC_E_CHANGED_MODE, not
// counted). Every successful call is balanced by one CoUninitialize; the leak check counts the
// initialisations each thread has not balanced.
HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void WINAPI CoUninitialize();
// Sets the process's COM security, once per process: RPC_E_TOO_LATE once it is set. Needs COM on
// the calling thread (CO_E_NOTINITIALIZED otherwise). Only the process-wide defaults are
// modelled: no authentication services, no security descriptor, no capabilities.
HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc,
                                    SOLE_AUTHENTICATION_SERVICE* asAuthSvc, void* pReserved1,
                                    DWORD dwAuthnLevel, DWORD dwImpLevel, void* pAuthList,
                                    DWORD dwCapabilities, void* pReserved3);
// Creates an object of a registered class. The machine registers one class, the Task Scheduler
// (CLSID_TaskScheduler, taskschd.h), as an in-process server: a context without
// CLSCTX_INPROC_SERVER finds no class (REGDB_E_CLASSNOTREG). The thread must be in an apartment,
// or the process must have a multithreaded one that the thread then joins implicitly
// (CO_E_NOTINITIALIZED otherwise). The leak check counts every object not released.
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv);
}

// ---------------------------------------------------------------------------------------------
// Automation types (oleaut32)
// ---------------------------------------------------------------------------------------------
typedef WCHAR OLECHAR;
typedef OLECHAR* BSTR;
typedef const OLECHAR* LPCOLESTR;
typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_BOOL = 11,
};

// The members the package and its tests use, under the SDK's names (the SDK nests them in
// unions that C++ code reaches the same way).
typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    BSTR bstrVal;
    VARIANT_BOOL boolVal;
    ULONGLONG llVal;
  };
} VARIANT, *LPVARIANT, VARIANTARG;

extern "C" {
// A BSTR is its text preceded by its length in bytes (four bytes, before the address handed
// out) and followed by a terminator. Null for a null text and when memory runs out. The leak
// check counts every BSTR not freed.
BSTR WINAPI SysAllocString(const OLECHAR* psz);
BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
void WINAPI SysFreeString(BSTR bstrString);
UINT WINAPI SysStringLen(BSTR pbstr);
// Sets the type to VT_EMPTY; cannot fail and touches nothing of the machine, so it is no traced
// platform call.
void WINAPI VariantInit(VARIANTARG* pvarg);
// Frees what the variant holds (a BSTR) and sets it to VT_EMPTY.
HRESULT WINAPI VariantClear(VARIANTARG* pvarg);
}
