// Placeholder until the header conversion lands.
#include "header/node_py.hpp"

namespace zel {

PyObject* node_to_py(const Node&) { return PyDict_New(); }

}  // namespace zel
