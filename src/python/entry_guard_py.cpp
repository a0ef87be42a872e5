// The internal-fault exception type.
#include "python/entry_guard_py.hpp"

namespace zel {

namespace {
// Kept for the life of the process, like the module and its class.
PyObject* internal_fault_type = nullptr;
}  // namespace

bool create_internal_fault_type() noexcept {
  if (internal_fault_type != nullptr) return true;
  internal_fault_type = PyErr_NewExceptionWithDoc(
      "zel_data_reader.InternalFault",
      "An internal invariant of zel_data_reader was broken. Please report it with the file that "
      "caused it.",
      PyExc_BaseException, nullptr);
  return internal_fault_type != nullptr;
}

void raise_internal_fault(const char* description) noexcept {
  PyErr_SetString(internal_fault_type != nullptr ? internal_fault_type : PyExc_SystemError,
                  description);
}

}  // namespace zel
