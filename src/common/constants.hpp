// Names and texts that identify the program and its files.
#pragma once

#include <string_view>

namespace brindlecast {

inline constexpr std::string_view kProgramName = "brindlecast-launcher";
inline constexpr std::string_view kVersionText = "0.1.0";
inline constexpr std::string_view kClientFileName = "brindlecast-client";
// The install root when nothing names one, under the user's home directory.
inline constexpr std::string_view kDefaultRootUnderHome = "Library/Application Support/Brindlecast/ota/install";

}  // namespace brindlecast
