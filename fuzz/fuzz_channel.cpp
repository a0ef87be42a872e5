// Opening a fuzzed data file and reading every channel it names, in each of its units, as
// get_channel_data does: the buffer must hold what the members gave, laid out on the grid.
#include <cmath>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "header/node_path.hpp"
#include "reader/channel_data.hpp"
#include "reader/data_file.hpp"

using namespace zel;

namespace {
fuzz::MemoryFile* memory_file;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout();
  memory_file = new fuzz::MemoryFile();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto file = ZelDataFIle::create(memory_file->write(data, size));
  if (!file) return 0;
  auto channels = file->header.get_channels();
  if (!channels) return 0;
  size_t asked = 0;
  for (const ZelHeader::Channel& channel : *channels) {
    if (++asked > 4) break;
    std::vector<std::string_view> units;
    if (auto listed = file->header.get_unit_types(channel.name)) units = *listed;
    if (auto base = get_path(file->header.data(), {"lcd-info", channel.id, "conversion-set",
                                                   "conversions", "base"})) {
      if (auto text = as_value(*base)) units.push_back(*text);
    }
    for (std::string_view unit : units) {
      for (uint8_t segment : {0, 1, 255}) {
        auto values = read_channel(*file, channel.name, segment, unit);
        if (!values) continue;
        fuzz::expect(values->values != nullptr, "a buffer is always there");
        fuzz::expect(values->count >= values->members * kBlockValues, "a block per member");
        fuzz::expect(values->side * values->side <= values->members &&
                         (values->side + 1) * (values->side + 1) > values->members,
                     "the side is the integer square root");
        // Every value is written: the sanitizer sees a read of memory never written, or the
        // count runs past the buffer.
        double sum = 0;
        for (uint64_t i = 0; i < values->count; ++i) sum += std::isnan(values->values[i]) ? 0 : 1;
        fuzz::expect(sum <= static_cast<double>(values->count), "count is the buffer's size");
      }
    }
  }
  return 0;
}
