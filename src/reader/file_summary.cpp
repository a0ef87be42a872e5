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

// `entry` is the channel's catalogue entry, the first of its name.
Result<ChannelSummary> summarize_entry(const ZelDataFIle& file, std::string_view name, Node entry) {
  ChannelSummary summary{std::string(name),
                         text_at(entry, {"type"}),
                         text_at(entry, {"conversion-set", "conversions", "base"}),
                         {},
                         {}};
  for (const std::string_view unit : ZelHeader::convertible_units(entry)) {
    summary.units.emplace_back(unit);
  }
  for (unsigned segment = 0; segment <= 255; ++segment) {
    ZEL_ASSIGN_OR_RETURN(const size_t count, file.channel_member_count(channel_suffix(
                                                 static_cast<uint8_t>(segment), name)));
    if (count != 0) summary.members.emplace_back(static_cast<uint8_t>(segment), count);
  }
  return summary;
}

}  // namespace

Result<FileSummary> summarize(const ZelDataFIle& file) {
  ZEL_ASSIGN_OR_RETURN(const std::vector<ZelHeader::Channel> channels, file.header.get_channels());
  ZEL_ASSIGN_OR_RETURN(const Node catalogue, get(file.header.data(), "lcd-info"));
  ZEL_TRY(file.file_every_member());
  try {
    FileSummary summary{file.members.records(), {}};
    std::unordered_set<std::string_view> seen;
    for (const ZelHeader::Channel& channel : channels) {
      // The first entry of a name answers for it, in reads as here (channel_entry).
      if (!seen.insert(channel.name).second) continue;
      ZEL_ASSIGN_OR_RETURN(const Node entry, get(catalogue, channel.id));
      ZEL_ASSIGN_OR_RETURN(ChannelSummary channel_summary,
                           summarize_entry(file, channel.name, entry));
      summary.channels.push_back(std::move(channel_summary));
    }
    return summary;
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate the summary of the file");
  }
}

Result<std::optional<ChannelSummary>> summarize_channel(const ZelDataFIle& file,
                                                        std::string_view name) {
  ZEL_ASSIGN_OR_RETURN(const std::vector<ZelHeader::Channel> channels, file.header.get_channels());
  ZEL_ASSIGN_OR_RETURN(const Node catalogue, get(file.header.data(), "lcd-info"));
  try {
    for (const ZelHeader::Channel& channel : channels) {
      if (channel.name != name) continue;
      ZEL_ASSIGN_OR_RETURN(const Node entry, get(catalogue, channel.id));
      ZEL_ASSIGN_OR_RETURN(ChannelSummary summary, summarize_entry(file, channel.name, entry));
      return std::optional<ChannelSummary>(std::move(summary));
    }
    return std::optional<ChannelSummary>();
  } catch (const std::bad_alloc&) {
    return io_error("cannot allocate the summary of the file");
  }
}

}  // namespace zel
