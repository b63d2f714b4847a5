// How every program of the package meets an exception: one rule for the service, the core
// library, the tool and the uninstaller, applied through ContainFailure below.
//
// What is caught. The failures the standard library raises on the package's paths when the
// machine cannot give what was asked: memory (std::bad_alloc, std::bad_array_new_length with
// it), a container or string past its limit (std::length_error), and the run-time failures of
// the std::runtime_error family, above all std::system_error from creating, joining or detaching
// a thread and from taking a lock. A sub-controller of the service that fails by throwing fails
// with one of these too. Nothing else is caught: any other exception (std::out_of_range, a bad
// cast, a call through an empty function, anything not derived from std::exception) is a fault
// of the code and ends the process as the crash it is.
//
// Where. At the boundaries, and nowhere in between: code between two boundaries lets the
// exception pass to the nearer one.
// - The service: ServiceMain and the control handler as a whole, each fan-out of the main
//   controller over its sub-controllers (building them, the support check, start, stop,
//   controls), the service host's use of the controller, the gates and the catalogue check, the
//   start of a worker thread, the Profile sub-controller's start-up and logon runs, and the
//   Update sub-controller's watch thread (which sets its completion event all the same).
// - The core library: each export, and the operations under them that stand on their own (the
//   wait and its stop, the caller's identity, the panel's identification).
// - The tool and the uninstaller: the program's entry, and in the uninstaller each step that
//   fails alone.
//
// What it becomes. The boundary's failure result, the same one the boundary gives for any
// other failure: the export's 0 or code, the gate's "no", the fan-out's "failed", the program's
// exit code. Whatever the interrupted work had done stays done (owners close what it opened);
// nothing is logged.
#pragma once

#include <new>
#include <stdexcept>
#include <type_traits>

namespace dpal {

// Runs `work` and answers what it returns, or `failure` when one of the failures above ended
// it. Any other exception leaves this function. The failure result is of the work's own result
// type, so `ContainFailure(nullptr, [] { return MakeThing(); })` answers a null pointer.
template <typename Work>
std::invoke_result_t<Work&> ContainFailure(std::invoke_result_t<Work&> failure, Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return failure;
  } catch (const std::length_error&) {
    return failure;
  } catch (const std::runtime_error&) {  // std::system_error included
    return failure;
  }
}

}  // namespace dpal
