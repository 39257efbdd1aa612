#pragma once

#include "module_state.hpp"
#include "python.hpp"

namespace tarnu::py {



// When the host cannot make a string, its pending error is printed and the
// call fails as an internal failure (the fatal-error exception "Python API
// call failed"); a MemoryError is passed on as it is.
void intern_names();

}  // namespace tarnu::py
