// Whether the calling thread is inside the simulated Windows: how deep in the sim's own
// functions it is. Every function of the sim counts itself in and out (the sim library is built
// with GCC's -finstrument-functions; the standard library's code is left out, so that its
// templates count for whoever calls them). Product code that the sim calls back (a thread's
// body, ServiceMain, a control handler, a program's entry) runs outside, in a ProductCode scope.
#pragma once

namespace sim {

// The calling thread's code runs as the product's for the life of the scope, even when the
// sim called it: the depth is set aside and given back when the scope ends.
class ProductCode {
 public:
  ProductCode();
  ~ProductCode();
  ProductCode(const ProductCode&) = delete;
  ProductCode& operator=(const ProductCode&) = delete;

 private:
  unsigned long depth_;
};

}  // namespace sim
