// Conversion of the header tree into nested Python dicts of str, without recursion: key paths
// may be nested deeper than any stack allows.
#include "python/node_py.hpp"

#include <optional>
#include <string_view>
#include <vector>

#include "python/py_ref.hpp"

namespace zel {

namespace {

PyRef new_str(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// A map whose dict is being filled; `next` is the entry to convert next.
struct Frame {
  PyRef dict;
  NodeMap::Iterator next;
  NodeMap::Iterator end;
};

// Stores `value` under the name of the entry that `frame.next` points at, and moves past it.
bool store(Frame& frame, PyObject* value) {
  PyRef key = new_str((*frame.next).name);
  if (!key || PyDict_SetItem(frame.dict.get(), key.get(), value) != 0) return false;
  ++frame.next;
  return true;
}

}  // namespace

PyObject* node_to_py(Node node) {
  const std::optional<NodeMap> root = node.map();
  if (!root) return new_str(*node.value()).release();

  // Every dict not yet stored in its parent is owned by its frame, so a failure anywhere
  // releases everything built so far when the stack goes.
  std::vector<Frame> stack;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  stack.push_back(Frame{std::move(dict), root->begin(), root->end()});

  for (;;) {
    Frame& top = stack.back();
    if (top.next == top.end) {
      PyRef done = std::move(top.dict);
      stack.pop_back();
      if (stack.empty()) return done.release();  // new reference for the caller
      if (!store(stack.back(), done.get())) return nullptr;
      continue;
    }
    const Node child = (*top.next).node;
    if (const std::optional<NodeMap> map = child.map()) {
      // The child is converted first; its name is made once it is complete.
      PyRef child_dict = PyRef::steal(PyDict_New());
      if (!child_dict) return nullptr;
      stack.push_back(Frame{std::move(child_dict), map->begin(), map->end()});
      continue;
    }
    PyRef value = new_str(*child.value());
    if (!value || !store(top, value.get())) return nullptr;
  }
}

}  // namespace zel
