// What a data file holds, for the tools: its channels with their units and member counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/result.hpp"
#include "reader/data_file.hpp"

namespace zel {

struct ChannelSummary {
  std::string name;
  std::optional<std::string> data_type;  // none when the entry has no readable "type"
  std::optional<std::string> base_unit;  // none when the entry names no base unit
  // Every unit the channel converts into, its base unit included: exactly those for which the
  // conversion the reads use succeeds, so that each one listed reads.
  std::vector<std::string> units;
  std::vector<std::pair<uint8_t, uint64_t>> members;  // (segment, count), segments with members
};

struct FileSummary {
  uint64_t records;  // every central-directory record, the header and directories included
  std::vector<ChannelSummary> channels;  // one per distinct name, in catalogue order
};

// From the header's catalogue and the member index, every member filed first: nothing is read
// from the file but its directory. Fails as the catalogue fails (a header without "lcd-info", a
// malformed entry) or as filing the members fails.
Result<FileSummary> summarize(const ZelDataFIle& file);

// The summary of the channel called `name` alone, as summarize gives it (from the first entry
// of that name), or none when the catalogue names no such channel. Files only what that
// channel needs when nothing is filed yet.
Result<std::optional<ChannelSummary>> summarize_channel(const ZelDataFIle& file,
                                                        std::string_view name);

}  // namespace zel
