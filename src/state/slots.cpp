#include "state/slots.hpp"

#include "common/constants.hpp"
#include "common/paths.hpp"

namespace brindlecast {

std::string slots_path(std::string_view install_root) { return join_path(install_root, "slots"); }

std::string entrypoint_path(std::string_view install_root, std::string_view slot) {
  return join_path(join_path(slots_path(install_root), slot), kClientFileName);
}

}  // namespace brindlecast
