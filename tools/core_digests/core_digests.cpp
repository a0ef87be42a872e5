// The core's test program: prints a SHA-256 digest of everything the core reads from the files
// named on its command line, so that two builds (Linux and Windows, say) can be compared line
// for line. For each file: one line for the header (its keys and values, sorted), then one per
// channel, segment and unit (every unit of the channel's conversion set and its base unit, in
// every segment that has members) with the digest of the values as the core lays them out. A
// failure prints its message instead. The core's own diagnostic lines come in between, as the
// reads write them.
//
//   core_digests FILE... [--named-in FOLDER]
//
// --named-in reads FOLDER/<a name with letters from four scripts>.zel as well, through a path
// that is UTF-8 text outside ASCII.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "header/node.hpp"
#include "output/stdout_writer.hpp"
#include "reader/channel_data.hpp"
#include "reader/data_file.hpp"
#include "sha256.hpp"

namespace {

using zel::write_stdout;

// A file name in Latin, Greek, Cyrillic and Han letters, as UTF-8.
constexpr std::string_view kNonAsciiName =
    "d\xc3\xa9j\xc3\xa0-\xce\xbc\xce\xad\xcf\x84\xcf\x81"
    "\xce\xbf-\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb-"
    "\xe6\x95\xb0\xe6\x8d\xae.zel";

std::string digest_of(std::string_view text) {
  return zel::sha256_hex({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

// Every value of the header as "dotted.key=value", sorted, one per line; walked without
// recursion, however deep the header.
std::string flat_header(zel::Node root) {
  std::vector<std::string> lines;
  std::vector<std::pair<zel::Node, std::string>> pending{{root, ""}};
  while (!pending.empty()) {
    auto [node, prefix] = std::move(pending.back());
    pending.pop_back();
    if (auto map = node.map()) {
      for (const auto entry : *map) {
        pending.emplace_back(entry.node, prefix.empty() ? std::string(entry.name)
                                                        : prefix + "." + std::string(entry.name));
      }
    } else {
      lines.push_back(prefix + "=" + std::string(node.value().value_or("")));
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// The base unit of a channel, where its entry names one.
std::string base_unit(const zel::ZelHeader& header, std::string_view channel) {
  auto entry = header.channel_entry(channel);
  if (!entry) return {};
  auto set = zel::get(*entry, "conversion-set");
  if (!set) return {};
  auto conversions = zel::get(*set, "conversions");
  if (!conversions) return {};
  auto base = zel::get(*conversions, "base");
  if (!base) return {};
  auto text = zel::as_value(*base);
  return text ? std::string(*text) : std::string();
}

void print_digests(const std::string& path, std::string_view label) {
  const std::string lead = std::string(label) + " ";
  auto opened = zel::ZelDataFIle::create(path, zel::MemberFiling::kWhenAsked);
  if (!opened) {
    write_stdout(lead + "error " + zel::message(opened.error()) + "\n");
    return;
  }
  zel::ZelDataFIle& file = *opened;
  write_stdout(lead + "header " + digest_of(flat_header(file.header.data())) + "\n");
  auto catalogue = file.header.get_channels();
  if (!catalogue) {
    write_stdout(lead + "channels error " + zel::message(catalogue.error()) + "\n");
    return;
  }
  std::vector<std::string> channels;
  for (const auto& channel : *catalogue) channels.emplace_back(channel.name);
  std::sort(channels.begin(), channels.end());
  channels.erase(std::unique(channels.begin(), channels.end()), channels.end());
  for (const auto& channel : channels) {
    std::vector<std::string> units;
    if (auto listed = file.header.get_unit_types(channel)) {
      for (const auto unit : *listed) units.emplace_back(unit);
    }
    if (auto base = base_unit(file.header, channel); !base.empty()) units.push_back(base);
    std::sort(units.begin(), units.end());
    units.erase(std::unique(units.begin(), units.end()), units.end());
    for (int segment = 0; segment <= 255; ++segment) {
      for (const auto& unit : units) {
        auto read = zel::read_channel(file, channel, static_cast<uint8_t>(segment), unit);
        if (!read && std::holds_alternative<zel::error::NoFile>(read.error())) break;
        std::string line = lead + channel + " " + std::to_string(segment) + " " + unit + " ";
        if (!read) {
          line += "error " + zel::message(read.error());
        } else if (const auto* grid = std::get_if<zel::GridValues>(&*read)) {
          const auto values = grid->values.span();
          line += std::to_string(grid->members) + "x" + std::to_string(zel::kBlockValues) + " " +
                  zel::sha256_hex(
                      {reinterpret_cast<const unsigned char*>(values.data()), values.size_bytes()});
        } else {
          line += "too many values";
        }
        write_stdout(line + "\n");
      }
    }
  }
}

std::string_view file_name(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--named-in" && i + 1 < argc) {
      const std::string path = std::string(argv[++i]) + "/" + std::string(kNonAsciiName);
      print_digests(path, "non-ascii-name");
    } else {
      print_digests(argument, file_name(argument));
    }
  }
  return 0;
}
