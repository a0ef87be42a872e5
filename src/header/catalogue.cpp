// Placeholder until the channel catalogue lands.
#include "header/zel_header.hpp"

namespace zel {

Result<std::vector<ZelHeader::Channel>> ZelHeader::get_channels() const {
  return error::HeaderMissingKey{"lcd-info"};
}

Result<std::vector<std::string_view>> ZelHeader::get_unit_types(std::string_view) const {
  return error::HeaderMissingKey{"lcd-info"};
}

}  // namespace zel
