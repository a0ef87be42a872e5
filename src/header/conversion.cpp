// The unit conversion chain: an encoder scaling into the base unit and a chain of steps above
// it, reduced to one linear map raw * multiplier + offset.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "header/node_path.hpp"
#include "header/number_format.hpp"
#include "header/number_parse.hpp"
#include "header/zel_header.hpp"
#include "output/stdout_writer.hpp"

namespace zel {

namespace {

// The value under `key` of `node`, read as a decimal number.
Result<double> number_at(Node node, std::string_view key) {
  ZEL_ASSIGN_OR_RETURN(const Node child, get(node, key));
  ZEL_ASSIGN_OR_RETURN(const std::string_view text, as_value(child));
  return parse_decimal(text);
}

// Offset first, so that when both are bad the offset's failure is the one reported.
Result<ZelHeader::Scaling> read_scaling(Node scaling) {
  ZEL_ASSIGN_OR_RETURN(const double offset, number_at(scaling, "offset"));
  ZEL_ASSIGN_OR_RETURN(const double multiplier, number_at(scaling, "multiplier"));
  return ZelHeader::Scaling{offset, multiplier};
}

// Raw values into the base unit. Whatever is wrong with the encoder scaling, it is the
// identity instead, and the failure is dropped on purpose.
ZelHeader::Scaling encoder_scaling(Node entry) {
  auto node = get_path(entry, {"encoder", "scaling"});
  if (!node) return {0.0, 1.0};
  auto scaling = read_scaling(*node);
  if (!scaling) return {0.0, 1.0};
  return *scaling;
}

// The name under which `step` sits in `conversion`; `fallback` when it is no child of it.
std::string unit_name(Node step, Node conversion, std::string_view fallback) {
  if (step.parent() == conversion) return std::string(step.name());
  return std::string(fallback);
}

// The slot that one step of a chain names, when the step itself is sound: it has a slot and a
// scaling whose offset and multiplier read. Checked as get_conversion_rec checks each step.
std::optional<std::string_view> sound_step_slot(Node step) {
  auto prev = get(step, "base-calibration-slot");
  if (!prev) return std::nullopt;
  auto scaling = get(step, "scaling");
  if (!scaling || !read_scaling(*scaling)) return std::nullopt;
  auto slot = as_value(*prev);
  if (!slot) return std::nullopt;
  return *slot;
}

}  // namespace

std::vector<std::string_view> ZelHeader::convertible_units(Node entry) {
  std::vector<std::string_view> units;
  // What convert_to_type checks before it looks at the unit.
  auto type_node = get(entry, "type");
  if (!type_node || !as_value(*type_node)) return units;
  auto base_node = get_path(entry, {"conversion-set", "conversions", "base"});
  if (!base_node) return units;
  auto base_text = as_value(*base_node);
  if (!base_text) return units;
  const std::string_view base = *base_text;
  units.push_back(base);  // needs no steps

  auto conversion = get_path(entry, {"conversion-set", "conversion"});
  const std::optional<NodeMap> steps = conversion ? conversion->map() : std::nullopt;
  if (steps) {
    // Whether the chain from a step reaches the base: a step is known once any chain through
    // it has been followed, and a chain that meets a step of its own walk again loops.
    enum class Reach { kWalking, kYes, kNo };
    std::unordered_map<uint32_t, Reach> known;
    std::vector<Node> walk;
    for (const NodeMap::Entry unit : *steps) {
      walk.clear();
      Node step = unit.node;
      Reach reach = Reach::kNo;
      for (;;) {
        if (auto seen = known.find(step.id()); seen != known.end()) {
          reach = seen->second == Reach::kWalking ? Reach::kNo : seen->second;
          break;
        }
        known.emplace(step.id(), Reach::kWalking);
        walk.push_back(step);
        const std::optional<std::string_view> slot = sound_step_slot(step);
        if (!slot) break;
        if (*slot == base) {
          reach = Reach::kYes;
          break;
        }
        auto next = steps->find(*slot);
        if (!next) break;
        step = *next;
      }
      for (const Node walked : walk) known[walked.id()] = reach;
      if (reach == Reach::kYes) units.push_back(unit.name);
    }
  }
  std::sort(units.begin(), units.end());
  units.erase(std::unique(units.begin(), units.end()), units.end());
  return units;
}

Result<ZelHeader::Scaling> ZelHeader::get_conversion_rec(Node target, Node root,
                                                         std::string_view base, double voltoffset,
                                                         double voltmult) {
  // The slots are followed in a loop, collecting each step's own scaling, and composed
  // afterwards: one stack frame per step would overflow on long chains. Steps are checked in
  // the order a recursive walk meets them, so the first failure is the same.
  std::vector<Scaling> steps;
  std::unordered_set<uint32_t> visited{target.id()};
  Node step = target;
  for (;;) {
    ZEL_ASSIGN_OR_RETURN(const Node prev, get(step, "base-calibration-slot"));
    ZEL_ASSIGN_OR_RETURN(const Node scaling, get(step, "scaling"));
    ZEL_ASSIGN_OR_RETURN(const Scaling own, read_scaling(scaling));
    ZEL_ASSIGN_OR_RETURN(const std::string_view slot, as_value(prev));
    steps.push_back(own);

    if (slot == base) break;
    ZEL_ASSIGN_OR_RETURN(const Node next, get(root, slot));
    // A step met again repeats everything since its first visit: the chain loops forever
    // without another error and never reaches the base.
    if (!visited.insert(next.id()).second) {
      return error::ConversionCycle{unit_name(target, root, slot), std::string(base)};
    }
    step = next;
  }

  // Innermost first: the encoder scaling, then the step nearest the base, up to `target`.
  // Each product and each sum is rounded on its own (the build forbids fused multiply-add).
  Scaling beneath{voltoffset, voltmult};
  for (auto own = steps.rbegin(); own != steps.rend(); ++own) {
    beneath = Scaling{own->offset + own->multiplier * beneath.offset,
                      own->multiplier * beneath.multiplier};
  }
  return beneath;
}

Result<ZelHeader::Conversion> ZelHeader::convert_to_type(std::string_view name,
                                                         std::string_view unit_type,
                                                         bool announce) const {
  ZEL_ASSIGN_OR_RETURN(const Node entry, channel_entry(name));
  ZEL_ASSIGN_OR_RETURN(const Node type_node, get(entry, "type"));
  ZEL_ASSIGN_OR_RETURN(const std::string_view data_type, as_value(type_node));

  const Scaling encoder = encoder_scaling(entry);

  ZEL_ASSIGN_OR_RETURN(const Node base_node,
                       get_path(entry, {"conversion-set", "conversions", "base"}));
  ZEL_ASSIGN_OR_RETURN(const std::string_view base, as_value(base_node));
  // The base unit needs no steps, even where the entry has none.
  if (unit_type == base) return Conversion{encoder.offset, encoder.multiplier, data_type};

  ZEL_ASSIGN_OR_RETURN(const Node conversion, get_path(entry, {"conversion-set", "conversion"}));
  ZEL_ASSIGN_OR_RETURN(const Node step, get(conversion, unit_type));
  ZEL_ASSIGN_OR_RETURN(const Scaling unit, get_conversion_rec(step, conversion, base,
                                                              encoder.offset, encoder.multiplier));

  if (announce) {
    std::string line;
    append_double(line, unit.offset);
    line += ',';
    append_double(line, unit.multiplier);
    line += '\n';
    write_stdout(line);  // one write, so the line is out whole before the data is read
  }
  return Conversion{unit.offset, unit.multiplier, data_type};
}

}  // namespace zel
