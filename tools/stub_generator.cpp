// stub_generator: writes the type stub of zel_data_reader from the interface records that the
// module's core registers at load time, or dumps those records as JSON.
//
//   stub_generator --expose NAME [--expose NAME]...
//       the stub, on standard output, declaring the classes named: those that Python can reach
//   stub_generator --records
//       both record lists as they stand, as JSON
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "python/stub_records.hpp"

namespace {

using namespace zel::stub;

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "stub_generator: " << message << '\n';
  std::exit(1);
}

// `text` in double quotes, with the escapes that JSON and Python share, so that either reads it
// back unchanged. A docstring (triple quotes) keeps its line feeds as they are.
std::string quoted(std::string_view text, std::string_view quotes = "\"") {
  std::string out(quotes);
  for (char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20 && !(c == '\n' && quotes.size() == 3)) {
      char escaped[7];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out += quotes;
}

// --- joining the lists -------------------------------------------------------------------------

// A class record with the methods records of the same class.
struct JoinedClass {
  const ClassRecord* record;
  std::vector<const MethodsRecord*> methods;
};

// Joins the two lists by class identifier. The lists come in no meaningful order, so classes are
// ordered by name and the methods records of one class by their source position.
std::vector<JoinedClass> join_records() {
  std::map<ClassId, JoinedClass> by_id;
  std::set<std::string_view> names;
  for (const ClassRecord& record : class_records()) {
    if (!by_id.emplace(record.id, JoinedClass{&record, {}}).second) {
      fail("two class records share the identifier of " + std::string(record.name));
    }
    if (!names.insert(record.name).second) {
      fail("two class records are named " + std::string(record.name));
    }
  }
  for (const MethodsRecord& record : methods_records()) {
    auto found = by_id.find(record.class_id);
    if (found == by_id.end()) {
      fail("the methods record of " + std::string(record.position.file) + ":" +
           std::to_string(record.position.line) + " belongs to no class record");
    }
    found->second.methods.push_back(&record);
  }
  std::vector<JoinedClass> classes;
  for (auto& [id, joined] : by_id) {
    std::ranges::sort(joined.methods, {}, [](const MethodsRecord* m) {
      return std::tie(m->position.file, m->position.line, m->position.column);
    });
    classes.push_back(std::move(joined));
  }
  std::ranges::sort(classes, {}, [](const JoinedClass& c) { return c.record->name; });
  return classes;
}

// --- the stub ----------------------------------------------------------------------------------

constexpr std::string_view kHeading =
    "# Type stub of the zel_data_reader extension module, written by tools/stub_generator.cpp\n"
    "# from the records that the module registers when it is loaded. Do not edit: run\n"
    "# tools/check_stubs.sh --update after changing the records.\n";

class StubWriter {
 public:
  void add_class(const JoinedClass& joined) {
    const ClassRecord& record = *joined.record;
    if (record.has_eq || record.has_ord || record.has_hash || record.has_str) {
      fail(std::string(record.name) +
           " supports comparison, hashing or a string form, which this generator cannot declare");
    }
    names_.emplace_back(record.name);
    body_ += '\n';
    if (!record.subclass) {
      body_ += "@typing.final\n";
      imports_.insert("typing");
    }
    body_ += "class " + std::string(record.name);
    if (!record.bases.empty()) {
      std::string separator = "(";
      for (TypeExprFn base : record.bases) {
        body_ += std::exchange(separator, ", ") + annotation(base);
      }
      body_ += ')';
    }
    body_ += ":\n";
    const size_t empty_size = body_.size();
    docstring(record.doc, kMember);

    std::vector<const MemberRecord*> getters, setters;
    for (const MemberRecord& getter : record.getters) getters.push_back(&getter);
    for (const MemberRecord& setter : record.setters) setters.push_back(&setter);
    for (const MethodsRecord* methods : joined.methods) {
      for (const MemberRecord& attr : methods->attrs) {
        body_ += kMember + std::string(attr.name) + ": " + annotation(attr.type) + '\n';
        docstring(attr.doc, kMember);
      }
      for (const MemberRecord& getter : methods->getters) getters.push_back(&getter);
      for (const MemberRecord& setter : methods->setters) setters.push_back(&setter);
    }
    for_each_method(joined, [&](const MethodRecord& m) {
      if (m.kind == MethodKind::kConstructor) method(m);
    });
    for (const MemberRecord* getter : getters) {
      body_ += kMember + "@property\n";
      signature(getter->name, "self", annotation(getter->type));
      definition_body(getter->doc);
    }
    for (const MemberRecord* setter : setters) {
      auto same_name = [&](const MemberRecord* getter) { return getter->name == setter->name; };
      if (std::ranges::none_of(getters, same_name)) {
        fail("the setter " + std::string(setter->name) + " of " + std::string(record.name) +
             " has no getter");
      }
      body_ += kMember + "@" + std::string(setter->name) + ".setter\n";
      signature(setter->name, "self, value: " + annotation(setter->type), "None");
      definition_body(setter->doc);
    }
    for_each_method(joined, [&](const MethodRecord& m) {
      if (m.kind != MethodKind::kConstructor) method(m);
    });
    if (body_.size() == empty_size) body_ += kMember + "...\n";
  }

  // The whole stub. Its __all__ names the classes written, as the module's own __all__ does.
  std::string finish() const {
    std::string out(kHeading);
    out += '\n';
    for (const std::string& module : imports_) out += "import " + module + '\n';
    std::string separator;
    out += "\n__all__ = [";
    for (const std::string& name : names_) out += std::exchange(separator, ", ") + quoted(name);
    return out + "]\n" + body_;
  }

 private:
  static inline const std::string kMember = "    ";
  static inline const std::string kMemberBody = "        ";
  static constexpr size_t kLineLength = 100;

  template <class F>
  static void for_each_method(const JoinedClass& joined, F f) {
    for (const MethodsRecord* methods : joined.methods) {
      for (const MethodRecord& m : methods->methods) f(m);
    }
  }

  // The annotation text; the modules that it names join the stub's imports.
  std::string annotation(TypeExprFn build) {
    TypeExpr type = build();
    imports_.merge(type.imports);
    return std::move(type.text);
  }

  void docstring(std::string_view doc, const std::string& indent) {
    if (!doc.empty()) body_ += indent + quoted(doc, "\"\"\"") + '\n';
  }

  // One line, or, past kLineLength columns, the parameters on a line of their own.
  void signature(std::string_view name, const std::string& parameters, const std::string& result) {
    std::string line = kMember + "def " + std::string(name) + "(" + parameters + ") -> " + result;
    if (line.size() + 5 > kLineLength) {  // 5: the ": ..." that may follow
      line = kMember + "def " + std::string(name) + "(\n" + kMemberBody + parameters + '\n' +
             kMember + ") -> " + result;
    }
    body_ += line + ':';
  }

  // A definition's body: its docstring, or "..." on the line of the definition.
  void definition_body(std::string_view doc) {
    if (doc.empty()) {
      body_ += " ...\n";
    } else {
      body_ += '\n';
      docstring(doc, kMemberBody);
    }
  }

  void method(const MethodRecord& m) {
    std::string parameters;
    switch (m.kind) {
      case MethodKind::kInstance:
        parameters = "self";
        break;
      case MethodKind::kStatic:
        body_ += kMember + "@staticmethod\n";
        break;
      case MethodKind::kClass:
        body_ += kMember + "@classmethod\n";
        parameters = "cls";
        break;
      case MethodKind::kConstructor:  // __new__ is a static method that Python passes the class
        parameters = "cls";
        break;
    }
    for (const ArgRecord& arg : m.args) {
      if (!parameters.empty()) parameters += ", ";
      parameters += std::string(arg.name) + ": " + annotation(arg.type);
    }
    signature(m.name, parameters, annotation(m.returns));
    definition_body(m.doc);
  }

  std::set<std::string> imports_;
  std::vector<std::string> names_;
  std::string body_;
};

void write_stub(const std::set<std::string>& exposed) {
  const std::vector<JoinedClass> classes = join_records();
  for (const std::string& name : exposed) {
    auto named = [&](const JoinedClass& c) { return c.record->name == name; };
    if (std::ranges::none_of(classes, named)) fail("no class record describes " + name);
  }
  StubWriter writer;
  for (const JoinedClass& joined : classes) {
    // A class that Python cannot reach stays out of the stub, whatever the records describe.
    if (exposed.contains(std::string(joined.record->name))) writer.add_class(joined);
  }
  std::cout << writer.finish();
}

// --- the records as JSON ----------------------------------------------------------------------

template <class Range, class F>
std::string json_array(const Range& items, F render) {
  std::string out = "[";
  for (const auto& item : items) {
    if (out.size() > 1) out += ", ";
    out += render(item);
  }
  return out += ']';
}

std::string json_object(std::initializer_list<std::pair<std::string_view, std::string>> fields) {
  std::string out = "{";
  for (const auto& [name, value] : fields) {
    if (out.size() > 1) out += ", ";
    out += quoted(name) + ": " + value;
  }
  return out += '}';
}

std::string json_bool(bool value) { return value ? "true" : "false"; }

std::string json_id(ClassId id) {
  std::ostringstream out;
  out << id;
  return quoted(out.str());
}

std::string json_type(TypeExprFn build) {
  TypeExpr type = build();
  return json_object(
      {{"text", quoted(type.text)},
       {"imports", json_array(type.imports, [](const std::string& m) { return quoted(m); })}});
}

std::string json_members(std::span<const MemberRecord> members) {
  return json_array(members, [](const MemberRecord& m) {
    return json_object(
        {{"name", quoted(m.name)}, {"type", json_type(m.type)}, {"doc", quoted(m.doc)}});
  });
}

std::string json_class(const ClassRecord& c) {
  return json_object({{"name", quoted(c.name)},
                      {"module", c.module ? quoted(*c.module) : "null"},
                      {"doc", quoted(c.doc)},
                      {"getters", json_members(c.getters)},
                      {"setters", json_members(c.setters)},
                      {"bases", json_array(c.bases, json_type)},
                      {"has_eq", json_bool(c.has_eq)},
                      {"has_ord", json_bool(c.has_ord)},
                      {"has_hash", json_bool(c.has_hash)},
                      {"has_str", json_bool(c.has_str)},
                      {"subclass", json_bool(c.subclass)},
                      {"id", json_id(c.id)}});
}

std::string json_method(const MethodRecord& m) {
  static constexpr std::string_view kKinds[] = {"instance", "static", "class", "constructor"};
  return json_object(
      {{"name", quoted(m.name)},
       {"kind", quoted(kKinds[static_cast<int>(m.kind)])},
       {"args",
        json_array(m.args,
                   [](const ArgRecord& a) {
                     return json_object({{"name", quoted(a.name)}, {"type", json_type(a.type)}});
                   })},
       {"returns", json_type(m.returns)},
       {"doc", quoted(m.doc)}});
}

std::string json_methods(const MethodsRecord& m) {
  return json_object({{"class_id", json_id(m.class_id)},
                      {"attrs", json_members(m.attrs)},
                      {"getters", json_members(m.getters)},
                      {"setters", json_members(m.setters)},
                      {"methods", json_array(m.methods, json_method)},
                      {"file", quoted(m.position.file)},
                      {"line", std::to_string(m.position.line)},
                      {"column", std::to_string(m.position.column)}});
}

// Both lists as they stand, in list order, without joining or checking them.
void write_records() {
  std::cout << json_object({{"classes", json_array(class_records(), json_class)},
                            {"methods", json_array(methods_records(), json_methods)}})
            << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  std::set<std::string> exposed;
  size_t i = 0;
  for (; i + 1 < args.size() && args[i] == "--expose"; i += 2) exposed.emplace(args[i + 1]);
  if (args.size() == 1 && args[0] == "--records") {
    write_records();
  } else if (i > 0 && i == args.size()) {
    write_stub(exposed);
  } else {
    fail("usage: stub_generator --records | --expose NAME [--expose NAME]...");
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
