// Lexical path helpers. Paths are byte strings (not necessarily UTF-8); they
// are never normalised, made absolute or checked against the file system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brindlecast {

// A part beginning with "/" replaces the base; otherwise base + "/" + part,
// with no "/" added after an empty base or one that already ends with "/".
std::string join_path(std::string_view base, std::string_view part);

// The path without its last component, a trailing "/" ignored. "/" and the
// empty path have no parent; the parent of a bare name is the empty path.
std::optional<std::string> parent_path(std::string_view path);

}  // namespace brindlecast
