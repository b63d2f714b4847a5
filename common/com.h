// Owners for COM: the initialisation of a thread's apartment, interface pointers and BSTR
// strings.
#pragma once

#include "common/handles.h"
#include "platform/win32.h"

namespace dpal {

// COM initialised on the calling thread, uninitialised again when the owner ends. Every
// CoInitializeEx that succeeds, S_FALSE (already initialised in that model) included, is
// balanced by one CoUninitialize; one that fails (RPC_E_CHANGED_MODE: the thread is in the
// other model) is not. The owner must end on the thread that made it.
class ComInitialization {
 public:
  ComInitialization() = default;
  ~ComInitialization() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComInitialization(const ComInitialization&) = delete;
  ComInitialization& operator=(const ComInitialization&) = delete;

  // Initialises COM for the model (COINIT_MULTITHREADED, ...); true when COM can be used on the
  // thread. Called once per owner: a second call answers the first result.
  bool Initialize(DWORD model) {
    if (!tried_) {
      tried_ = true;
      result_ = CoInitializeEx(nullptr, model);
    }
    return SUCCEEDED(result_);
  }
  // S_OK, S_FALSE or the error of CoInitializeEx; E_UNEXPECTED before Initialize.
  HRESULT result() const { return result_; }

 private:
  bool tried_ = false;
  HRESULT result_ = E_UNEXPECTED;
};

namespace traits {

struct Bstr {
  using Raw = BSTR;
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr; }
  static void Close(Raw h) { SysFreeString(h); }
};

// An interface pointer, released once.
template <typename T>
struct ComPointer {
  using Raw = T*;
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr; }
  static void Close(Raw h) { h->Release(); }
};

}  // namespace traits

// A BSTR, freed with SysFreeString; Put() receives one from an API's out parameter.
using UniqueBstr = Unique<traits::Bstr>;
// An interface pointer; Put() receives one from an API's out parameter (CoCreateInstance wants
// it as void**).
template <typename T>
using UniqueCom = Unique<traits::ComPointer<T>>;

}  // namespace dpal
