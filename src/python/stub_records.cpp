// The interface records of ZelDataFIle (and ZelHeader), registered when the module is loaded.
#include "python/stub_records.hpp"

#include "header/zel_header.hpp"
#include "reader/data_file.hpp"

namespace zel::stub {

namespace {

constinit RecordList<ClassRecord> g_class_records;
constinit RecordList<MethodsRecord> g_methods_records;

// A type of another module, by its dotted name; the stub imports that module.
TypeExpr named(std::string_view dotted) {
  return {std::string(dotted), {std::string(dotted.substr(0, dotted.rfind('.')))}};
}

TypeExpr builtin(std::string_view name) { return named("builtins." + std::string(name)); }

// "{} | {}": the alternatives stay in the order given.
TypeExpr union_of(TypeExpr left, TypeExpr right) {
  left.text += " | " + right.text;
  left.imports.merge(right.imports);
  return left;
}

// "{}[{}]": a generic type filled with one type argument.
TypeExpr generic(std::string_view dotted, TypeExpr argument) {
  TypeExpr type = named(dotted);
  type.text += "[" + argument.text + "]";
  type.imports.merge(argument.imports);
  return type;
}

TypeExpr path_argument() {
  return union_of(union_of(builtin("str"), named("os.PathLike")), named("pathlib.Path"));
}
TypeExpr path_result() { return named("pathlib.Path"); }
TypeExpr text() { return builtin("str"); }
TypeExpr segment() { return builtin("int"); }
TypeExpr text_list() { return generic("builtins.list", text()); }
TypeExpr channel_data() { return generic("numpy.typing.NDArray", named("numpy.float64")); }
TypeExpr any_object() { return named("typing.Any"); }
TypeExpr data_file_class() { return {"ZelDataFIle", {}}; }  // defined by the stub itself

constexpr MemberRecord kDataFileClassGetters[] = {
    {.name = "location", .type = path_result, .doc = ""},
};

constexpr ClassRecord kDataFileClass = {
    .name = "ZelDataFIle",
    .module = std::nullopt,
    .doc = "Main Class for reading Zel data files.",
    .getters = kDataFileClassGetters,
    .setters = {},
    .bases = {},
    .has_eq = false,
    .has_ord = false,
    .has_hash = false,
    .has_str = false,
    .subclass = false,
    .id = class_id<ZelDataFIle>(),
};

constexpr MemberRecord kDataFileMethodsGetters[] = {
    {.name = "header", .type = any_object, .doc = ""},
};

constexpr ArgRecord kNewArgs[] = {{"location", path_argument}};
constexpr ArgRecord kGetChannelDataArgs[] = {
    {"name", text}, {"segment", segment}, {"unit_type", text}};
constexpr ArgRecord kGetChannelUnitsArgs[] = {{"channel_name", text}};

// The constructor's description writes the class as "ZelDataFile"; it is kept as it stands.
constexpr MethodRecord kDataFileMethods[] = {
    {.name = "__new__",
     .args = kNewArgs,
     .returns = data_file_class,
     .doc = "Creating a new ZelDataFile, requires the location to where the file is stored.",
     .kind = MethodKind::kConstructor},
    {.name = "get_channel_data",
     .args = kGetChannelDataArgs,
     .returns = channel_data,
     .doc = "",
     .kind = MethodKind::kInstance},
    {.name = "get_channels",
     .args = {},
     .returns = text_list,
     .doc = "",
     .kind = MethodKind::kInstance},
    {.name = "get_channel_units",
     .args = kGetChannelUnitsArgs,
     .returns = text_list,
     .doc = "",
     .kind = MethodKind::kInstance},
};

constexpr MethodsRecord kDataFileMethodsRecord = {
    .class_id = class_id<ZelDataFIle>(),
    .attrs = {},
    .getters = kDataFileMethodsGetters,
    .setters = {},
    .methods = kDataFileMethods,
    .position = {.file = "src/lib", .line = 88, .column = 1},
};

// Described for stub generators only: the module never creates this type for Python.
constexpr ClassRecord kHeaderClass = {
    .name = "ZelHeader",
    .module = std::nullopt,
    .doc = "",
    .getters = {},
    .setters = {},
    .bases = {},
    .has_eq = false,
    .has_ord = false,
    .has_hash = false,
    .has_str = false,
    .subclass = false,
    .id = class_id<ZelHeader>(),
};

// The three load-time initialisers.
RecordList<ClassRecord>::Entry g_data_file_class_entry(g_class_records, kDataFileClass);
RecordList<MethodsRecord>::Entry g_data_file_methods_entry(g_methods_records,
                                                           kDataFileMethodsRecord);
RecordList<ClassRecord>::Entry g_header_class_entry(g_class_records, kHeaderClass);

}  // namespace

RecordList<ClassRecord>& class_records() noexcept { return g_class_records; }
RecordList<MethodsRecord>& methods_records() noexcept { return g_methods_records; }

}  // namespace zel::stub
