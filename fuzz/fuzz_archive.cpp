// The archive layer fed whole files: locating, walking the directory, checking and reading every
// member. What it hands out must agree with what the directory records.
#include <libdeflate.h>

#include <string_view>
#include <vector>

#include "archive/zip_reader.hpp"
#include "fuzz_support.hpp"

using namespace zel;

namespace {
fuzz::MemoryFile* memory_file;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  memory_file = new fuzz::MemoryFile();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto file = File::open_read_only(memory_file->write(data, size));
  fuzz::expect(file.has_value(), "a regular file opens");
  fuzz::expect(file->size() == size, "the file's length is taken at opening");
  ByteSource source(std::move(*file));
  std::vector<uint8_t> buffer(ZipReader::kBufferSize);
  auto archive = ZipReader::locate(source, buffer);
  if (!archive) return 0;
  fuzz::expect(archive->end_record_offset + 22 <= size, "the end record lies inside the file");
  ZipReader reader(std::move(source), *archive, std::move(buffer));

  std::vector<std::string> names;
  auto every = [&names](std::string_view name) {
    names.emplace_back(name);
    return true;
  };
  auto members = reader.find_members(every);
  if (!members) return 0;
  fuzz::expect(members->size() == names.size(), "the filter sees each record once");

  // Every member's verified contents have the recorded size and, where one is recorded in the
  // directory, the recorded CRC-32.
  size_t next = 0;
  std::vector<uint32_t> crcs;
  auto verify = [&](size_t index, std::span<const uint8_t> contents) -> Result<void> {
    fuzz::expect(index == next++, "members arrive in order");
    crcs.push_back(libdeflate_crc32(0, contents.data(), contents.size()));
    const MemberLocator& member = (*members)[index];
    fuzz::expect(contents.size() == member.uncompressed_size, "contents have the recorded size");
    fuzz::expect(reader.check_member(member).has_value(), "a read member passes its checks");
    if (!member.has_data_descriptor && member.crc32 != 0) {
      fuzz::expect(crcs.back() == member.crc32, "contents have the recorded CRC-32");
    }
    return {};
  };
  const bool all_read = reader.read_members(*members, verify).has_value();
  fuzz::expect(!all_read || next == members->size(), "a successful read reads every member");

  // Members read one by one give what the batch gave, as far as the batch got.
  for (size_t index = 0; index < members->size() && index < 64; ++index) {
    const std::span<const MemberLocator> one(&(*members)[index], 1);
    size_t calls = 0;
    auto count = [&calls](size_t, std::span<const uint8_t>) -> Result<void> {
      ++calls;
      return {};
    };
    const bool read = reader.read_members(one, count).has_value();
    fuzz::expect(calls == (read ? 1 : 0), "a read member reaches the sink once");
    if (index < next) fuzz::expect(read, "a member read in the batch reads alone");
  }

  // Whole contents by name, as the constructor asks for the header: the same bytes again.
  constexpr std::string_view kHeader = "shared-data/header.properties";
  auto files = reader.get_files([kHeader](std::string_view name) { return name == kHeader; });
  fuzz::expect(files.has_value() || !all_read, "what reads in a batch reads by name");
  if (!files) return 0;
  size_t returned = 0;
  for (size_t index = 0; index < names.size(); ++index) {
    if (names[index] != kHeader) continue;
    fuzz::expect(returned < files->size(), "every member of the name is returned");
    const std::vector<uint8_t>& contents = (*files)[returned++];
    if (index < crcs.size()) {
      fuzz::expect(libdeflate_crc32(0, contents.data(), contents.size()) == crcs[index],
                   "a member read by name has the contents read in the batch");
    }
  }
  fuzz::expect(returned == files->size(), "only members of the name are returned");
  return 0;
}
