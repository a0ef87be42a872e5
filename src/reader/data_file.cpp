// Constructing a ZelDataFIle: open, locate the archive, read and parse the header member.
#include "reader/data_file.hpp"

#include "reader/utf8.hpp"

namespace zel {

namespace {
constexpr std::string_view kHeaderMember = "shared-data/header.properties";
}  // namespace

Result<ZelHeader> ZelDataFIle::read_header(ZipReader& reader) {
  auto files = reader.get_files([](std::string_view name) { return name == kHeaderMember; });
  if (!files) return std::move(files).error();
  if (files->empty()) return error::NoFile{"shared-data header"};
  const std::vector<uint8_t> contents = std::move(files->front());
  files->clear();
  const std::string_view text(reinterpret_cast<const char*>(contents.data()), contents.size());
  if (auto fault = utf8_fault(text)) return error::InvalidUtf8Header{std::move(*fault)};
  return ZelHeader::from_str(text);
}

Result<ZelDataFIle> ZelDataFIle::create(std::string location) {
  auto file = File::open_read_only(location);
  if (!file) return std::move(file).error();
  std::vector<uint8_t> buffer(ZipReader::kBufferSize);
  auto archive = ZipReader::locate(*file, buffer);
  if (!archive) return std::move(archive).error();
  ZipReader reader(std::move(*file), *archive, std::move(buffer));
  auto header = read_header(reader);
  if (!header) return std::move(header).error();
  return ZelDataFIle{std::move(location), std::move(reader), std::move(*header)};
}

}  // namespace zel
