// One walk of the central directory through the archive room; no member is read or kept.
#include "python/members/member_counts.hpp"

#include <utility>
#include <vector>

#include "archive/file.hpp"
#include "archive/zip_reader.hpp"
#include "python/members/member_readings.hpp"

namespace zel {

Result<MemberCounts> count_members(const std::string& path) {
  ZEL_ASSIGN_OR_RETURN(File file, File::open_read_only(path));
  std::vector<uint8_t> buffer(ZipReader::kBufferSize);
  ZEL_ASSIGN_OR_RETURN(const ArchiveInfo archive, ZipReader::locate(file, buffer));
  ZipReader reader(std::move(file), archive, std::move(buffer));

  MemberCounts counts;
  std::string key;  // reused, so that a reading already seen costs no allocation
  const auto count = [&](std::string_view name) {
    ++counts.total;
    for_each_reading(name, [&](uint8_t segment, std::string_view channel) {
      key.assign(1, static_cast<char>(segment));
      key.append(channel);
      const auto found = counts.by_reading.find(key);
      if (found != counts.by_reading.end()) {
        ++found->second;
      } else {
        counts.by_reading.emplace(key, 1);
      }
    });
    return false;  // select nothing: only the names are wanted
  };
  ZEL_TRY(reader.find_members(count));
  return counts;
}

}  // namespace zel
