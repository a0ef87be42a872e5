// Summarizing a data file through the same catalogue, conversions and member names that
// reading it uses, so that the summary and the reads cannot disagree.
#include "reader/file_summary.hpp"

#include <algorithm>
#include <new>
#include <unordered_set>

#include "header/node_path.hpp"
#include "reader/channel_members.hpp"

namespace zel {

namespace {

std::optional<std::string> text_at(Node entry, std::initializer_list<std::string_view> keys) {
  auto node = get_path(entry, keys);
  if (!node) return std::nullopt;
  auto text = as_value(*node);
  if (!text) return std::nullopt;
  return std::string(*text);
}

ChannelSummary summarize_channel(const ZelDataFIle& file, const ZelHeader::Channel& channel) {
  ChannelSummary summary{std::string(channel.name), std::nullopt, std::nullopt, {}, {}};
  if (auto entry = file.header.channel_entry(channel.name)) {
    summary.data_type = text_at(*entry, {"type"});
    summary.base_unit = text_at(*entry, {"conversion-set", "conversions", "base"});
  }
  std::vector<std::string_view> candidates;
  if (auto listed = file.header.get_unit_types(channel.name)) candidates = std::move(*listed);
  if (summary.base_unit) candidates.push_back(*summary.base_unit);
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  for (std::string_view unit : candidates) {
    if (file.header.convert_to_type(channel.name, unit, /*announce=*/false)) {
      summary.units.emplace_back(unit);
    }
  }
  for (unsigned segment = 0; segment <= 255; ++segment) {
    const size_t count =
        file.members.count(channel_suffix(static_cast<uint8_t>(segment), channel.name));
    if (count != 0) summary.members.emplace_back(static_cast<uint8_t>(segment), count);
  }
  return summary;
}

}  // namespace

Result<FileSummary> summarize(const ZelDataFIle& file) {
  ZEL_ASSIGN_OR_RETURN(const std::vector<ZelHeader::Channel> channels, file.header.get_channels());
  try {
    FileSummary summary{file.members.records(), {}};
    std::unordered_set<std::string_view> seen;
    for (const ZelHeader::Channel& channel : channels) {
      // The first entry of a name answers for it, in reads as here.
      if (!seen.insert(channel.name).second) continue;
      summary.channels.push_back(summarize_channel(file, channel));
    }
    return summary;
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate the summary of the file");
  }
}

}  // namespace zel
