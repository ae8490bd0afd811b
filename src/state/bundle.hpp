// The client beside the launcher: a copy of the client that may sit next to
// the launcher inside an application bundle (the sibling client), its version
// read from the bundle's Info.plist, and whether it beats the active slot.
// Every path is formed lexically with join_path/parent_path. Nothing here
// reports an error: anything missing, unreadable or malformed counts as
// absent. It only reads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "state/install_state.hpp"

namespace brindlecast {

// brindlecast-client beside the given executable path, if stat (following
// symbolic links) finds a regular file there. Nothing without an executable
// path, without a parent directory, or for a path holding a NUL byte.
std::optional<std::string> find_sibling_client(const std::optional<std::string>& executable);

// The same, for the running launcher's own executable.
std::optional<std::string> find_sibling_client();

// The CFBundleShortVersionString text of <dir>/../Info.plist, where <dir> is
// the sibling client's directory. A plain text scan of the first <string>
// after the key, trimmed of Unicode white space; not a property list parser.
// Nothing when the file is missing, unreadable, not UTF-8, or lacks the key,
// the <string> element or a non-blank value.
std::optional<std::string> read_bundle_version(std::string_view sibling_client_path);

// The same scan over an Info.plist's text already in memory.
std::optional<std::string> bundle_version_from_plist(std::string_view text);

// True only when no slot is on trial, the active slot has a recorded version,
// the bundle around the sibling client has a version, both parse, and the
// bundle's is strictly higher. Reads the plist only if the first two hold.
bool sibling_client_is_newer(const InstallState& state, std::string_view sibling_client_path);

}  // namespace brindlecast
