// Defaults for the sanitizer runtimes of the sim-asan and sim-tsan builds, compiled into every
// test program of those builds so that ctest and a program run by hand behave the same. The
// environment (ASAN_OPTIONS, UBSAN_OPTIONS, TSAN_OPTIONS) still overrides them.

extern "C" {

// The runtimes look these up by name; each returns a colon-separated option list.
const char* __asan_default_options() {
  return "detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:"
         "strict_init_order=1:abort_on_error=0:halt_on_error=1";
}

const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }

const char* __tsan_default_options() { return "halt_on_error=1:second_deadlock_stack=1"; }

}  // extern "C"
