// Placeholder until the channel data reader lands.
#include "lib/channel_data_py.hpp"

namespace zel {

Result<PyRef> read_channel_data(ZelDataFIle& file, std::string_view name, uint8_t,
                                std::string_view unit_type) {
  auto conversion = file.header.convert_to_type(name, unit_type);
  if (!conversion) return std::move(conversion).error();
  return error::NoFile{"channel data"};
}

}  // namespace zel
