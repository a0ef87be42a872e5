// Inflates the members of one channel and segment of an archive with the small-member decoder
// of this folder and with libdeflate, interleaved in one process, after checking that both give
// the same bytes.
//
//   inflate_bench ARCHIVE [SUFFIX] [ROUNDS]     (build: see CMakeLists.txt here)
//
// SUFFIX selects the members by the end of their names (default "/1/channels/force.dat").
// Prints the median time per member of each decoder over ROUNDS rounds (default 41) and their
// ratio; every round times both decoders over all members, in alternating order.
//
// Where it stands (64 x 64 benchmark archive, 400-byte members of about 350 compressed bytes,
// one dynamic block each, code lengths mostly 7 to 9 bits; callgrind, instructions per member):
// libdeflate 18,900 (its three decode tables 6,950 of them), this decoder 18,400 (tables 1,900,
// reading the code lengths 4,900, the symbols about 6,500, the rest the precode, refills and
// block headers). Wall time 1.11-1.31x libdeflate's on this shared machine, short of the 1.6x
// that would justify a second decoder in the reader, which keeps libdeflate. What was tried, in
// order: codes assigned in symbol order with strided table fills (26,500 instructions), the
// lengths read into lists of used symbols with a counting sort and doubling fills as libdeflate
// does (24,200), refilling only when a code or a match's tail needs the bits (23,200), lengths
// read straight into buckets by length and the bit reader kept in registers (20,600), codewords
// reversed through a static table (18,400). What is left is per symbol: the length loop and the
// literal loop each cost about 20 instructions a symbol. BMI2's shifts, which libdeflate
// dispatches to at run time (its figures above are of that variant), take this decoder to
// 17,500 and 1.24-1.32x when built with -mbmi2: still short.

#include <libdeflate.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "archive/zip_reader.hpp"
#include "small_inflate.hpp"

using namespace zel;

namespace {

struct Member {
  std::vector<uint8_t> compressed;  // with the decoder's padding after it
  size_t compressed_size;
  size_t size;
};

uint16_t le16_at(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

std::vector<Member> load_members(const char* path, std::string_view suffix) {
  auto file = File::open_read_only(path);
  if (!file) std::exit((std::fprintf(stderr, "cannot open %s\n", path), 1));
  ByteSource source(std::move(*file));
  std::vector<uint8_t> buffer(ZipReader::kBufferSize);
  auto archive = ZipReader::locate(source, buffer);
  if (!archive) std::exit((std::fprintf(stderr, "not an archive: %s\n", path), 1));
  ZipReader reader(std::move(source), *archive, std::move(buffer));
  auto located =
      reader.find_members([suffix](std::string_view name) { return name.ends_with(suffix); });
  if (!located || located->empty()) std::exit((std::fprintf(stderr, "no members\n"), 1));
  std::vector<Member> members;
  for (const MemberLocator& at : *located) {
    uint8_t header[30];
    if (reader.source().read_at(at.local_header_offset, header) != 0) std::exit(1);
    const uint64_t data = at.local_header_offset + 30 + le16_at(header + 26) + le16_at(header + 28);
    Member member{std::vector<uint8_t>(at.compressed_size + kSmallInflateInputPadding),
                  at.compressed_size, at.uncompressed_size};
    if (reader.source().read_at(data, std::span(member.compressed.data(), at.compressed_size)) !=
        0) {
      std::exit(1);
    }
    members.push_back(std::move(member));
  }
  return members;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    return (std::fprintf(stderr, "usage: inflate_bench ARCHIVE [SUFFIX] [ROUNDS]\n"), 2);
  const std::string suffix = argc > 2 ? argv[2] : "/1/channels/force.dat";
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 41;
  const std::vector<Member> members = load_members(argv[1], suffix);
  size_t largest = 0;
  for (const Member& m : members) largest = std::max(largest, m.size);
  std::vector<uint8_t> out(largest + kSmallInflateOutputPadding + 512);
  std::vector<uint8_t> expected(largest);
  libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();

  auto with_libdeflate = [&](const Member& m) {
    size_t produced = 0;
    return libdeflate_deflate_decompress_ex(inflater, m.compressed.data(), m.compressed_size,
                                            out.data(), m.size + 512, nullptr,
                                            &produced) == LIBDEFLATE_SUCCESS &&
           produced == m.size;
  };
  auto with_small = [&](const Member& m) {
    return inflate_small(std::span(m.compressed.data(), m.compressed_size),
                         std::span(out.data(), m.size));
  };

  size_t accepted = 0;
  for (const Member& m : members) {
    if (!with_libdeflate(m)) return (std::fprintf(stderr, "libdeflate rejects a member\n"), 1);
    std::copy_n(out.begin(), m.size, expected.begin());
    std::fill(out.begin(), out.end(), 0xA5);
    if (with_small(m)) {
      ++accepted;
      if (!std::equal(expected.begin(), expected.begin() + static_cast<long>(m.size),
                      out.begin())) {
        return (std::fprintf(stderr, "the small decoder differs from libdeflate\n"), 1);
      }
    }
  }

  std::vector<double> small_times, library_times;
  unsigned sink = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool small = (turn == 0) == (round % 2 == 0);
      const auto start = std::chrono::steady_clock::now();
      for (const Member& m : members) sink += small ? with_small(m) : with_libdeflate(m);
      (small ? small_times : library_times)
          .push_back(seconds_since(start) / static_cast<double>(members.size()));
    }
  }
  libdeflate_free_decompressor(inflater);
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
  };
  const double small = median(small_times), library = median(library_times);
  std::printf("%zu members of %s, %zu taken by the small decoder (checks %u)\n", members.size(),
              suffix.c_str(), accepted, sink);
  std::printf("per member, median of %d rounds: small %.0f ns, libdeflate %.0f ns, %.2fx as fast\n",
              rounds, small * 1e9, library * 1e9, library / small);
  return 0;
}
