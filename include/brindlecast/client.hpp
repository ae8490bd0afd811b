// A thin C++ layer over brindlecast/client.h, header only: the state as a
// plain struct and each call's outcome as a Status holding the code and the
// message. It throws nothing of its own (only std::bad_alloc may escape) and
// adds one check only: a text holding a NUL byte, which the C API would take
// for its end, is refused with BRINDLECAST_ERR_INVALID_ARGUMENT. See client.h
// for what every call does. Status is [[nodiscard]]: every call returns one,
// and a result dropped unread is a compiler warning; cast it to void where
// ignoring it is meant.
#pragma once

#include <cstdint>
#include <functional>
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

struct [[nodiscard]] Status {
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

// What a call that starts a trial tells besides its result (see
// brindlecast_notice_kind).
using Notice = std::function<void(brindlecast_notice_kind kind, const std::string& line)>;

// How a trial may begin; each member is set by its name.
struct TrialOptions {
  std::optional<std::string> install_root;  // absent: BRINDLECAST_INSTALL_ROOT
  bool retry = false;                       // offer a version whose last trial failed
  bool allow_downgrade = false;             // a version lower than the known-good one's
  Notice notice;
};

inline Status begin_trial(const std::string& slot, const std::optional<std::string>& version,
                          const TrialOptions& options) {
  if (Status nul =
          detail::no_nul({{"slot", slot}, {"version", version}, {"install root", options.install_root}});
      !nul) {
    return nul;
  }
  const unsigned flags = (options.retry ? BRINDLECAST_TRIAL_RETRY : 0u) |
                         (options.allow_downgrade ? BRINDLECAST_TRIAL_ALLOW_DOWNGRADE : 0u);
  const auto told = [](brindlecast_notice_kind kind, const char* line, void* context) {
    (*static_cast<const Notice*>(context))(kind, line);
  };
  return detail::status(brindlecast_begin_trial_reporting(
      detail::c_str_or_null(options.install_root), slot.c_str(), detail::c_str_or_null(version), flags,
      options.notice ? +told : nullptr, const_cast<Notice*>(&options.notice)));
}

struct InstallProgress {
  std::uint64_t files_done = 0, files_total = 0, bytes_done = 0, bytes_total = 0;
};

// How install works; each member is set by its name, so no two flags can
// be given in each other's place.
struct InstallOptions {
  std::optional<std::string> install_root;  // absent: BRINDLECAST_INSTALL_ROOT
  bool move = false;                        // rename a directory into place instead of copying it
  bool trial = true;                        // false: record nothing
  bool init = false;                        // create the first state, the slot active and known good
  bool retry = false;                       // offer a version whose last trial failed
  bool allow_downgrade = false;             // a version lower than the known-good one's
  std::optional<std::string> channel;       // of the first state; absent: "stable"
  std::optional<std::string> public_key;    // only an archive signed with this key installs
  std::optional<std::string> signature;     // absent: the archive's path + ".minisig"
  std::uint64_t max_bytes = 0;              // an archive's most; 0: the free space less a margin
  std::function<void(const InstallProgress&)> progress;
  Notice notice;
};

// Installs the directory or archive source as slots/<slot> and, unless
// options say otherwise, puts it on trial (see brindlecast_install_with).
inline Status install(const std::string& source, const std::string& slot,
                      const std::optional<std::string>& version, const InstallOptions& options = {}) {
  if (Status nul = detail::no_nul({{"source", source},
                                   {"slot", slot},
                                   {"version", version},
                                   {"install root", options.install_root},
                                   {"channel", options.channel},
                                   {"public key", options.public_key},
                                   {"signature", options.signature}});
      !nul) {
    return nul;
  }
  brindlecast_install_options raw{};
  raw.flags =
      (options.move ? BRINDLECAST_INSTALL_MOVE : 0u) | (options.trial ? 0u : BRINDLECAST_INSTALL_NO_TRIAL) |
      (options.init ? BRINDLECAST_INSTALL_INIT : 0u) | (options.retry ? BRINDLECAST_TRIAL_RETRY : 0u) |
      (options.allow_downgrade ? BRINDLECAST_TRIAL_ALLOW_DOWNGRADE : 0u);
  raw.channel = detail::c_str_or_null(options.channel);
  raw.public_key = detail::c_str_or_null(options.public_key);
  raw.signature = detail::c_str_or_null(options.signature);
  raw.max_bytes = options.max_bytes;
  raw.context = const_cast<InstallOptions*>(&options);
  if (options.progress) {
    raw.progress = [](std::uint64_t files, std::uint64_t files_total, std::uint64_t bytes,
                      std::uint64_t bytes_total, void* context) {
      static_cast<const InstallOptions*>(context)->progress({files, files_total, bytes, bytes_total});
    };
  }
  if (options.notice) {
    raw.notice = [](brindlecast_notice_kind kind, const char* line, void* context) {
      static_cast<const InstallOptions*>(context)->notice(kind, line);
    };
  }
  return detail::status(brindlecast_install_with(detail::c_str_or_null(options.install_root), source.c_str(),
                                                 slot.c_str(), detail::c_str_or_null(version), &raw));
}

// A trial and what became of it (see brindlecast_trial).
struct Trial {
  std::string slot;
  std::optional<std::string> version;
  std::string begun;
  brindlecast_outcome outcome = BRINDLECAST_OUTCOME_UNKNOWN;
  bool by_launcher = false;
  std::uint32_t unconfirmed_starts = 0;
  std::optional<std::string> replaced_by;
  std::optional<std::string> ended;
};

// The trial history, newest first.
inline Status read_trials(std::vector<Trial>& out,
                          const std::optional<std::string>& install_root = std::nullopt) {
  out.clear();
  if (Status nul = detail::no_nul({{"install root", install_root}}); !nul) return nul;
  brindlecast_trials* raw = nullptr;
  Status result = detail::status(brindlecast_read_trials(detail::c_str_or_null(install_root), &raw));
  if (!result) return result;
  const std::unique_ptr<brindlecast_trials, void (*)(brindlecast_trials*)> owner(raw,
                                                                                 brindlecast_trials_free);
  const auto text = [](const char* t) { return t ? std::optional<std::string>(t) : std::nullopt; };
  brindlecast_trial t{};
  for (std::size_t i = 0; brindlecast_trials_at(raw, i, &t); ++i) {
    out.push_back(Trial{t.slot, text(t.version), t.begun, t.outcome, t.by_launcher != 0, t.unconfirmed_starts,
                        text(t.replaced_by), text(t.ended)});
  }
  return result;
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
