#include "common/install_method.hpp"

#include <array>

namespace brindlecast {
namespace {

constexpr std::array<std::string_view, 4> kTexts = {"systemd", "launchd", "process", "windows"};

}  // namespace

std::string_view install_method_text(InstallMethod method) {
  return kTexts[static_cast<std::size_t>(method)];
}

std::optional<InstallMethod> parse_install_method(std::string_view text) {
  for (std::size_t i = 0; i < kTexts.size(); ++i) {
    if (text == kTexts[i]) return static_cast<InstallMethod>(i);
  }
  return std::nullopt;
}

}  // namespace brindlecast
