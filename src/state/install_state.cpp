#include "state/install_state.hpp"

#include <array>

namespace brindlecast {
namespace {

using json::JsonError;
using json::JsonReader;
using json::JsonResult;

// Field indexes in declaration order; also the element order of the
// positional form.
enum Field {
  kActive,
  kKnownGood,
  kChannel,
  kPending,
  kFailedStarts,
  kStartedOk,
  kVersions,
  kRelaunchIntent,
  kFieldCount
};

constexpr std::array<std::string_view, kFieldCount> kFieldNames = {"active",   "known_good",     "channel",
                                                                   "pending",  "failed_starts",  "started_ok",
                                                                   "versions", "relaunch_intent"};

std::optional<Field> field_for_key(std::string_view key) {
  if (key == "boot_attempts") return kFailedStarts;
  for (int f = 0; f < kFieldCount; ++f) {
    if (key == kFieldNames[f]) return static_cast<Field>(f);
  }
  return std::nullopt;
}

JsonResult<Done> read_versions(JsonReader& reader, InstallState& state) {
  if (reader.peek() != '{') return Err(reader.invalid_type("a map"));
  reader.begin_container();
  bool first = true;
  for (;;) {
    auto key = reader.next_key(first);
    if (!key) return key.forward();
    if (!*key) return Done{};
    if (auto r = reader.expect_colon(); !r) return r;
    auto value = reader.read_optional_string("a string");
    if (!value) return value.forward();
    // A repeated key is no error: the later member wins. Saved files hold
    // the slots in order, so each usually goes in at the end.
    state.versions.insert_or_assign(state.versions.end(), std::move(**key), std::move(*value));
  }
}

JsonResult<Done> read_field(JsonReader& reader, Field field, InstallState& state) {
  const auto store_string = [&](std::string& target) -> JsonResult<Done> {
    auto s = reader.read_string("a string");
    if (!s) return s.forward();
    target = std::move(s).value();
    return Done{};
  };
  const auto store_bool = [&](bool& target) -> JsonResult<Done> {
    auto b = reader.read_bool("a boolean");
    if (!b) return b.forward();
    target = *b;
    return Done{};
  };
  switch (field) {
    case kActive:
      return store_string(state.active);
    case kKnownGood:
      return store_string(state.known_good);
    case kChannel:
      return store_string(state.channel);
    case kPending: {
      auto s = reader.read_optional_string("a string");
      if (!s) return s.forward();
      state.pending = std::move(s).value();
      return Done{};
    }
    case kFailedStarts: {
      auto n = reader.read_u32("u32");
      if (!n) return n.forward();
      state.failed_starts = *n;
      return Done{};
    }
    case kStartedOk:
      return store_bool(state.started_ok);
    case kVersions:
      return read_versions(reader, state);
    case kRelaunchIntent:
      return store_bool(state.relaunch_intent);
    case kFieldCount:
      break;
  }
  return Done{};
}

JsonResult<Done> read_object_form(JsonReader& reader, InstallState& state) {
  reader.begin_container();
  std::array<bool, kFieldCount> filled{};
  bool first = true;
  for (;;) {
    auto key = reader.next_key(first);
    if (!key) return key.forward();
    if (!*key) break;
    const auto field = field_for_key(**key);
    if (field && filled[*field]) {
      return Err(reader.error_here("duplicate field `" + std::string(kFieldNames[*field]) + "`"));
    }
    if (auto r = reader.expect_colon(); !r) return r;
    if (!field) {
      if (auto r = reader.skip_value(); !r) return r;
      continue;
    }
    filled[*field] = true;
    if (auto r = read_field(reader, *field, state); !r) return r;
  }
  for (const Field required : {kActive, kKnownGood, kChannel}) {
    if (!filled[required]) {
      return Err(reader.error_here("missing field `" + std::string(kFieldNames[required]) + "`"));
    }
  }
  return Done{};
}

JsonResult<Done> read_positional_form(JsonReader& reader, InstallState& state) {
  reader.begin_container();
  bool first = true;
  for (int f = 0; f < kFieldCount; ++f) {
    auto more = reader.next_element(first);
    if (!more) return more.forward();
    if (!*more) {
      if (f <= kChannel) {
        return Err(reader.error_here("invalid length " + std::to_string(f) +
                                     ", expected struct InstallState with 8 elements"));
      }
      return Done{};  // the remaining fields keep their defaults
    }
    if (auto r = read_field(reader, static_cast<Field>(f), state); !r) return r;
  }
  return reader.end_array();
}

}  // namespace

json::JsonResult<InstallState> parse_install_state(std::string_view bytes) {
  JsonReader reader(bytes);
  InstallState state;
  const auto b = reader.peek();
  JsonResult<Done> body = Done{};
  if (b == '{') {
    body = read_object_form(reader, state);
  } else if (b == '[') {
    body = read_positional_form(reader, state);
  } else {
    body = Err(reader.invalid_type("struct InstallState"));
  }
  if (!body) return body.forward();
  if (auto r = reader.expect_end(); !r) return r.forward();
  return state;
}

void write_install_state(const InstallState& state, json::JsonWriter& w) {
  w.begin_object();
  w.key("active");
  w.string_value(state.active);
  w.key("known_good");
  w.string_value(state.known_good);
  w.key("channel");
  w.string_value(state.channel);
  w.key("pending");
  w.optional_string_value(state.pending);
  w.key("failed_starts");
  w.uint_value(state.failed_starts);
  w.key("started_ok");
  w.bool_value(state.started_ok);
  w.key("versions");
  w.begin_object();
  for (const auto& [slot, version] : state.versions) {
    w.key(slot);
    w.optional_string_value(version);
  }
  w.end_object();
  w.key("relaunch_intent");
  w.bool_value(state.relaunch_intent);
  w.end_object();
}

std::string write_install_state(const InstallState& state, json::Layout layout) {
  json::JsonWriter writer(layout);
  write_install_state(state, writer);
  return writer.take();
}

}  // namespace brindlecast
