// The depth of the calling thread in the sim's own functions (call_depth.h), kept by the entry
// and exit hooks of GCC's -finstrument-functions. A compiler without those hooks' exclusion of
// the standard library (clang, for the fuzzers) builds the sim without them, and the depth stays
// 0 there. This file itself is built without the hooks: its functions would count themselves.
#include "platform/sim/kernel/call_depth.h"

#include "platform/sim/kernel/sim_kernel.h"

namespace {

thread_local unsigned long t_depth = 0;

}  // namespace

extern "C" {

__attribute__((no_instrument_function)) void __cyg_profile_func_enter(void*, void*) { ++t_depth; }

__attribute__((no_instrument_function)) void __cyg_profile_func_exit(void*, void*) { --t_depth; }

}  // extern "C"

namespace sim {

bool InSimulatedCall() { return t_depth > 0; }

ProductCode::ProductCode() : depth_(t_depth) { t_depth = 0; }

ProductCode::~ProductCode() { t_depth = depth_; }

}  // namespace sim
