// Where client executables live and which one is newer.
//
// Each installed client version has a slot directory under <root>/slots; the
// executable of a slot is <root>/slots/<slot>/brindlecast-client. A copy of
// the client may also sit beside the launcher inside an application bundle
// (the sibling client), whose version is read from the bundle's Info.plist.
// This module forms slot paths, probes for the sibling client, reads the
// bundle version, parses and orders version texts, and decides whether the
// sibling client beats the active slot. Every path is formed lexically with
// join_path/parent_path. Nothing here reports an error: anything missing,
// unreadable or malformed counts as absent. It never writes, creates or
// deletes files, and never checks that a slot's executable exists.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "state/install_state.hpp"

namespace brindlecast {

// <install_root>/slots/<slot>/brindlecast-client, each step by join_path, so an
// absolute slot text replaces the prefix. Touches no file.
std::string entrypoint_path(std::string_view install_root, std::string_view slot);

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

// A parsed version text; build metadata is not kept.
struct Version {
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t patch = 0;
  std::vector<std::string> pre;  // pre-release identifiers; empty for a release

  // Field-wise equality; precedence (where 01 equals 1) is compare_versions.
  bool operator==(const Version&) const = default;
};

// MAJOR.MINOR.PATCH[-PRE][+BUILD], taken unchanged (no trimming). Each core
// number is non-empty ASCII digits fitting in 64 bits; pre-release identifiers
// are non-empty but otherwise unrestricted. Nothing for anything else.
std::optional<Version> parse_version(std::string_view text);

// Precedence order: core numbers by value, then a release above any of its
// pre-releases, then the pre-release identifiers pairwise.
std::strong_ordering compare_versions(const Version& a, const Version& b);

// True only when no slot is on trial, the active slot has a recorded version,
// the bundle around the sibling client has a version, both parse, and the
// bundle's is strictly higher. Reads the plist only if the first two hold.
bool sibling_client_is_newer(const InstallState& state, std::string_view sibling_client_path);

}  // namespace brindlecast
