// The guard around every Python entry point: no C++ exception leaves the module.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace zel {

// Raises an internal fault (a broken invariant) as the module's BaseException subclass.
void raise_internal_fault(const char* description) noexcept;
// Creates the internal-fault exception type once; false with an exception set on failure.
bool create_internal_fault_type() noexcept;

// Sets the exception of an internal fault from its description, with the lock held.
using FaultRaiser = void (*)(const char* description) noexcept;

// Runs `body`, which returns a new reference or nullptr with an exception set, with the
// interpreter lock held when it returns or throws. An escaping std::bad_alloc is the
// interpreter's MemoryError; anything else is an internal fault, raised by `raise_fault`
// (the module's InternalFault unless another extension names its own).
template <class Body>
auto guard_entry(Body&& body, FaultRaiser raise_fault = raise_internal_fault) noexcept
    -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_fault(fault.what());
  } catch (...) {
    raise_fault("unknown internal fault");
  }
  return {};
}

}  // namespace zel
