#include "common/paths.hpp"

namespace brindlecast {

std::string join_path(std::string_view base, std::string_view part) {
  if (!part.empty() && part.front() == '/') return std::string(part);
  std::string out(base);
  if (!out.empty() && out.back() != '/') out += '/';
  out += part;
  return out;
}

std::optional<std::string> parent_path(std::string_view path) {
  // Trailing separators belong to the last component, not to the parent.
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.empty() || path == "/") return std::nullopt;
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  if (slash == 0) return std::string("/");
  auto parent = path.substr(0, slash);
  // "a//b" has the parent "a", not "a/".
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return std::string(parent);
}

}  // namespace brindlecast
