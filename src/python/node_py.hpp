// Conversion of header nodes into Python objects.
#pragma once

#include <Python.h>

#include "header/node.hpp"

namespace zel {

// A new dict (for a map node, its children converted alike) or str (for a value node); nullptr
// with the Python exception set when building fails, with everything built so far released.
PyObject* node_to_py(Node node);

}  // namespace zel
