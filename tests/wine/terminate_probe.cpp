// A program that throws an exception nothing catches. Built twice: with the package's end of a
// program the C++ runtime ends (common/terminate.cpp), as every windowless program of the package
// is, and with the runtime's own, for the test that tells the two apart. A console program, so
// that the runtime's own handler has somewhere to write.
#include <stdexcept>

int wmain() { throw std::logic_error("nothing catches this"); }
