#pragma once

// The one way into the host's C API. Only code in src/extension includes this.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
