// Reading one channel of one segment as a NumPy array.
#pragma once

#include <cstdint>
#include <string_view>

#include "error/result.hpp"
#include "python/py_ref.hpp"
#include "reader/data_file.hpp"

namespace zel {

// The (side, side, 100) float64 array of the channel `name` in `segment`, in `unit_type`.
Result<PyRef> read_channel_data(ZelDataFIle& file, std::string_view name, uint8_t segment,
                                std::string_view unit_type);

}  // namespace zel
