// InstallState: the persisted record of an install root, stored as one JSON
// document in <root>/state.json and shared with the client and other writers.
// The decoder is tolerant where other writers need it (defaults for optional
// members, the older key `boot_attempts`, unknown members, a positional form)
// and strict everywhere else. Decoding yields the whole record or an error,
// never a partial record. Encoding always writes all eight members in their
// declared order.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace brindlecast {

struct InstallState {
  std::string active;                  // slot to run: <root>/slots/<active>/
  std::string known_good;              // slot last confirmed to start
  std::string channel;                 // carried through unchanged
  std::optional<std::string> pending;  // present: `active` is on trial
  std::uint32_t failed_starts = 0;     // unconfirmed starts of the slot on trial
  bool started_ok = false;             // set by the client side on a good start
  // Ordered by slot, so that the same record always gives the same bytes
  // (diffs, backups and readers of show compare them).
  using Versions = std::map<std::string, std::optional<std::string>>;
  Versions versions;             // slot -> version text
  bool relaunch_intent = false;  // set by the client side: next start is a relaunch

  bool operator==(const InstallState&) const = default;
};

// Decodes the complete bytes of a state document.
json::JsonResult<InstallState> parse_install_state(std::string_view bytes);

// Encodes the record; no newline follows the closing brace.
std::string write_install_state(const InstallState& state, json::Layout layout);

// Writes the record as the value at the writer's position.
void write_install_state(const InstallState& state, json::JsonWriter& writer);

}  // namespace brindlecast
