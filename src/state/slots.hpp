// Where client executables live under the install root. Each installed
// client version has a slot directory under <root>/slots; the executable of a
// slot is <root>/slots/<slot>/brindlecast-client. Paths are formed lexically
// with join_path, so an absolute slot text replaces the prefix; nothing here
// touches a file or checks that a slot's executable exists.
#pragma once

#include <string>
#include <string_view>

namespace brindlecast {

// <install_root>/slots.
std::string slots_path(std::string_view install_root);

// <install_root>/slots/<slot>/brindlecast-client.
std::string entrypoint_path(std::string_view install_root, std::string_view slot);

}  // namespace brindlecast
