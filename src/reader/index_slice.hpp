// Index slices: the part of an open data file's member index that reads of one channel need,
// with the header and the object's size and version, as a compact blob that can travel to
// another process and open there without the central directory.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/byte_source.hpp"
#include "error/result.hpp"
#include "reader/data_file.hpp"

namespace zel {

// The blob of `channel`'s members in `segments` (each once, ascending) of
// `file`, an object of its source's size whose version is `version` (any bytes that tell one
// version of the object from another).
Result<std::vector<uint8_t>> make_index_slice(const ZelDataFIle& file, std::string_view channel,
                                              std::span<const uint8_t> segments,
                                              std::string_view version);

// A data file over `source` whose index holds only the members in `blob`, and whose header is
// the one the blob carries. The blob is untrusted: any length, count or field that does not
// fit is an error, and so is a blob made from an object of another size or version.
Result<ZelDataFIle> open_index_slice(std::string location, ByteSource source,
                                     std::string_view version, std::span<const uint8_t> blob);

}  // namespace zel
