// Names and texts that identify the program and its files.
#pragma once

#include <string_view>

namespace brindlecast {

inline constexpr std::string_view kProgramName = "brindlecast-launcher";
inline constexpr std::string_view kClientFileName = "brindlecast-client";

}  // namespace brindlecast
