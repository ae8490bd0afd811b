// The self-test report: one line of JSON telling a caller what the launcher
// would work with. It only reads: it writes no file and applies no policy.
//
// Tests: tests/launcher/self_test_e2e_test.cpp.
#pragma once

#include <optional>
#include <string>

#include "common/install_method.hpp"

namespace brindlecast {

// The report, ending with a newline. Paths that are not UTF-8 are shown with
// U+FFFD in place of each ill-formed sequence.
std::string self_test_report(const std::optional<std::string>& install_root,
                             std::optional<InstallMethod> install_method);

}  // namespace brindlecast
