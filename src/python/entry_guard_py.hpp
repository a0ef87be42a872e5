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

// Runs `body`, which returns a new reference or nullptr with an exception set. An escaping
// std::bad_alloc is the interpreter's MemoryError; anything else is an internal fault.
template <class Body>
auto guard_entry(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_internal_fault(fault.what());
  } catch (...) {
    raise_internal_fault("unknown internal fault");
  }
  return {};
}

}  // namespace zel
