// A thin C++ layer over brindlecast/client.h, header only: the state as a
// plain struct and each call's outcome as a Status holding the code and the
// message. It throws nothing of its own (only std::bad_alloc may escape) and
// adds one check only: a text holding a NUL byte, which the C API would take
// for its end, is refused with BRINDLECAST_ERR_INVALID_ARGUMENT. See client.h
// for what every call does.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brindlecast/client.h"

namespace brindlecast::client {

struct Status {
  brindlecast_status code = BRINDLECAST_OK;
  std::string message;  // empty on success

  bool ok() const { return code == BRINDLECAST_OK; }
  explicit operator bool() const { return ok(); }
};

struct State {
  std::string active;
  std::string known_good;
  std::string channel;
  std::optional<std::string> pending;
  std::uint32_t failed_starts = 0;
  bool started_ok = false;
  std::map<std::string, std::optional<std::string>> versions;
  bool relaunch_intent = false;
};

namespace detail {
inline Status status(brindlecast_status code) {
  return code == BRINDLECAST_OK ? Status{} : Status{code, brindlecast_last_error()};
}
inline const char* c_str_or_null(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}
// Refuses the first text that holds a NUL byte: cut there, it would name
// something else.
inline Status no_nul(std::initializer_list<std::pair<const char*, std::optional<std::string_view>>> texts) {
  for (const auto& [name, text] : texts) {
    if (text && text->find('\0') != std::string_view::npos) {
      return Status{BRINDLECAST_ERR_INVALID_ARGUMENT, std::string(name) + " holds a NUL byte"};
    }
  }
  return Status{};
}
}  // namespace detail

// An absent install_root means BRINDLECAST_INSTALL_ROOT.
inline Status read_state(State& out, const std::optional<std::string>& install_root = std::nullopt) {
  if (Status nul = detail::no_nul({{"install root", install_root}}); !nul) return nul;
  brindlecast_state* raw = nullptr;
  Status result = detail::status(brindlecast_read_state(detail::c_str_or_null(install_root), &raw));
  if (!result) return result;
  const std::unique_ptr<brindlecast_state, void (*)(brindlecast_state*)> owner(raw, brindlecast_state_free);
  State state;
  state.active = brindlecast_state_active(raw);
  state.known_good = brindlecast_state_known_good(raw);
  state.channel = brindlecast_state_channel(raw);
  if (const char* pending = brindlecast_state_pending(raw)) state.pending = pending;
  state.failed_starts = brindlecast_state_failed_starts(raw);
  state.started_ok = brindlecast_state_started_ok(raw) != 0;
  state.relaunch_intent = brindlecast_state_relaunch_intent(raw) != 0;
  const char* slot = nullptr;
  const char* version = nullptr;
  for (std::size_t i = 0; brindlecast_state_version_at(raw, i, &slot, &version); ++i) {
    state.versions[slot] = version ? std::optional<std::string>(version) : std::nullopt;
  }
  out = std::move(state);
  return result;
}

// executable: this client's own path, its argv[0].
inline Status confirm_start(const std::string& executable,
                            const std::optional<std::string>& install_root = std::nullopt) {
  if (Status nul = detail::no_nul({{"executable", executable}, {"install root", install_root}}); !nul)
    return nul;
  return detail::status(brindlecast_confirm_start(detail::c_str_or_null(install_root), executable.c_str()));
}

inline Status set_relaunch_intent(const std::optional<std::string>& install_root = std::nullopt) {
  if (Status nul = detail::no_nul({{"install root", install_root}}); !nul) return nul;
  return detail::status(brindlecast_set_relaunch_intent(detail::c_str_or_null(install_root)));
}

inline Status abort_trial(const std::optional<std::string>& install_root = std::nullopt) {
  if (Status nul = detail::no_nul({{"install root", install_root}}); !nul) return nul;
  return detail::status(brindlecast_abort_trial(detail::c_str_or_null(install_root)));
}

inline Status begin_trial(const std::string& slot, const std::optional<std::string>& version,
                          const std::optional<std::string>& install_root = std::nullopt) {
  if (Status nul = detail::no_nul({{"slot", slot}, {"version", version}, {"install root", install_root}});
      !nul) {
    return nul;
  }
  return detail::status(brindlecast_begin_trial(detail::c_str_or_null(install_root), slot.c_str(),
                                                detail::c_str_or_null(version)));
}

inline Status init(const std::string& slot, const std::optional<std::string>& version,
                   const std::string& channel = "stable",
                   const std::optional<std::string>& install_root = std::nullopt) {
  if (Status nul = detail::no_nul(
          {{"slot", slot}, {"version", version}, {"channel", channel}, {"install root", install_root}});
      !nul) {
    return nul;
  }
  return detail::status(brindlecast_init(detail::c_str_or_null(install_root), slot.c_str(),
                                         detail::c_str_or_null(version), channel.c_str()));
}

// Installs the directory source as slots/<slot> and, unless trial is false,
// puts it on trial; move renames source into place instead of copying it.
inline Status install(const std::string& source, const std::string& slot,
                      const std::optional<std::string>& version, bool move = false, bool trial = true,
                      const std::optional<std::string>& install_root = std::nullopt) {
  if (Status nul = detail::no_nul(
          {{"source", source}, {"slot", slot}, {"version", version}, {"install root", install_root}});
      !nul) {
    return nul;
  }
  const unsigned flags = (move ? BRINDLECAST_INSTALL_MOVE : 0u) | (trial ? 0u : BRINDLECAST_INSTALL_NO_TRIAL);
  return detail::status(brindlecast_install(detail::c_str_or_null(install_root), source.c_str(), slot.c_str(),
                                            detail::c_str_or_null(version), flags));
}

// A slot prune left for its age.
struct YoungSlot {
  std::string slot;
  std::int64_t age_seconds = 0;
};

// removed receives the names removed (or, with dry_run, that would be), also
// those removed before a failure.
inline Status prune(std::vector<std::string>& removed, bool dry_run = false,
                    const std::optional<std::string>& install_root = std::nullopt) {
  removed.clear();
  if (Status nul = detail::no_nul({{"install root", install_root}}); !nul) return nul;
  const auto add = [](const char* slot, void* context) {
    static_cast<std::vector<std::string>*>(context)->emplace_back(slot);
  };
  return detail::status(
      brindlecast_prune(detail::c_str_or_null(install_root), dry_run ? 1 : 0, add, &removed));
}

// As above, with a grace period of min_age_seconds; kept_young receives the
// slots left for their age.
inline Status prune(std::vector<std::string>& removed, std::vector<YoungSlot>& kept_young,
                    std::int64_t min_age_seconds = BRINDLECAST_PRUNE_MIN_AGE, bool dry_run = false,
                    const std::optional<std::string>& install_root = std::nullopt) {
  removed.clear();
  kept_young.clear();
  if (Status nul = detail::no_nul({{"install root", install_root}}); !nul) return nul;
  using Lists = std::pair<std::vector<std::string>*, std::vector<YoungSlot>*>;
  Lists lists{&removed, &kept_young};
  const auto add = [](const char* slot, void* context) {
    static_cast<Lists*>(context)->first->emplace_back(slot);
  };
  const auto keep = [](const char* slot, std::int64_t age, void* context) {
    static_cast<Lists*>(context)->second->push_back(YoungSlot{slot, age});
  };
  return detail::status(brindlecast_prune_older_than(detail::c_str_or_null(install_root), dry_run ? 1 : 0,
                                                     min_age_seconds, add, keep, &lists));
}

}  // namespace brindlecast::client
