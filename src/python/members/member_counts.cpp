// One walk of the central directory through the archive room; no member is read or kept.
#include "python/members/member_counts.hpp"

#include <utility>
#include <vector>

#include "archive/file.hpp"
#include "archive/zip_reader.hpp"
#include "python/members/member_readings.hpp"

namespace zel {

Result<MemberCounts> count_members(const std::string& path) {
  Result<File> file = File::open_read_only(path);
  if (!file) return std::move(file).error();
  std::vector<uint8_t> buffer(ZipReader::kBufferSize);
  Result<ArchiveInfo> archive = ZipReader::locate(*file, buffer);
  if (!archive) return std::move(archive).error();
  ZipReader reader(std::move(*file), std::move(*archive), std::move(buffer));

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
  Result<std::vector<MemberLocator>> walked = reader.find_members(count);
  if (!walked) return std::move(walked).error();
  return counts;
}

}  // namespace zel
