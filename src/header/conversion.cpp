// Placeholder until the unit conversion chain lands.
#include "header/zel_header.hpp"

namespace zel {

Result<ZelHeader::Conversion> ZelHeader::convert_to_type(std::string_view, std::string_view) const {
  return error::HeaderMissingKey{"lcd-info"};
}

Result<ZelHeader::Scaling> ZelHeader::get_conversion_rec(const Node&, const Node&, std::string_view,
                                                         double, double) {
  return error::HeaderMissingKey{"lcd-info"};
}

}  // namespace zel
