// The extern "C" layer over client/calls.hpp: argument checks, the install
// root from the environment, error codes and the per-thread last message.
// No exception leaves this file.
#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecast/client.h"
#include "client/calls.hpp"
#include "client/install.hpp"
#include "client/prune.hpp"
#include "common/install_root.hpp"

struct brindlecast_trials {
  std::vector<brindlecast::TrialReport> reports;
};

struct brindlecast_state {
  brindlecast::InstallState state;
  std::string json;  // the state as one line of compact JSON
  std::vector<std::pair<const std::string*, const std::optional<std::string>*>> versions;  // by slot name
};

namespace {

thread_local std::string last_error;

brindlecast_status status_of(brindlecast::ErrorKind kind) {
  switch (kind) {
    case brindlecast::ErrorKind::NotFound:
      return BRINDLECAST_ERR_NOT_FOUND;
    case brindlecast::ErrorKind::PermissionDenied:
      return BRINDLECAST_ERR_PERMISSION;
    case brindlecast::ErrorKind::InvalidData:
      return BRINDLECAST_ERR_INVALID_DATA;
    case brindlecast::ErrorKind::InvalidInput:
      return BRINDLECAST_ERR_INVALID_ARGUMENT;
    case brindlecast::ErrorKind::AlreadyExists:
      return BRINDLECAST_ERR_EXISTS;
    case brindlecast::ErrorKind::Busy:
    case brindlecast::ErrorKind::NotDurable:
    case brindlecast::ErrorKind::Stopped:
    case brindlecast::ErrorKind::Other:
      break;
  }
  return BRINDLECAST_ERR_OTHER;
}

brindlecast_status fail(brindlecast_status status, std::string message) {
  last_error = std::move(message);
  return status;
}

brindlecast_status fail(const brindlecast::Error& error) {
  return fail(status_of(error.kind), error.message);
}

constexpr const char* kNoRoot = "no install root: pass one or set BRINDLECAST_INSTALL_ROOT";

// Runs one call whole, an allocation failure anywhere turned into an error
// code: the check of an argument it cannot go without (missing names it, or
// is null), the install root, then the call.
template <class Call>
brindlecast_status guarded(const char* install_root, const char* missing, Call call) {
  try {
    last_error.clear();
    if (missing) return fail(BRINDLECAST_ERR_INVALID_ARGUMENT, missing);
    // NULL: BRINDLECAST_INSTALL_ROOT, which the launcher sets for its client.
    const auto given = install_root ? std::optional<std::string>(install_root) : std::nullopt;
    const auto root = brindlecast::find_install_root(given, std::nullopt, false).root;
    if (!root) return fail(BRINDLECAST_ERR_INVALID_ARGUMENT, kNoRoot);
    const brindlecast_status status = call(*root);
    // A callback may have made a call of its own that failed meanwhile.
    if (status == BRINDLECAST_OK) last_error.clear();
    return status;
  } catch (const std::bad_alloc&) {
    return fail(BRINDLECAST_ERR_OTHER, "out of memory");
  } catch (...) {
    return fail(BRINDLECAST_ERR_OTHER, "unexpected internal failure");
  }
}

template <class Call>
brindlecast_status update(const char* install_root, const char* missing, Call call) {
  return guarded(install_root, missing, [&](const std::string& root) {
    auto done = call(root);
    return done ? BRINDLECAST_OK : fail(done.error());
  });
}

// The trial flags, and a notice that reaches the caller's function.
brindlecast::TrialOptions trial_options(unsigned flags,
                                        void (*notice)(brindlecast_notice_kind, const char*, void*),
                                        void* context) {
  brindlecast::TrialOptions options;
  options.retry = (flags & BRINDLECAST_TRIAL_RETRY) != 0;
  options.allow_downgrade = (flags & BRINDLECAST_TRIAL_ALLOW_DOWNGRADE) != 0;
  if (notice) {
    options.notice = [notice, context](brindlecast::NoticeKind kind, const std::string& line) {
      notice(kind == brindlecast::NoticeKind::Committed  ? BRINDLECAST_NOTICE_COMMITTED
             : kind == brindlecast::NoticeKind::Replaced ? BRINDLECAST_NOTICE_REPLACED
                                                         : BRINDLECAST_NOTICE_OTHER,
             line.c_str(), context);
    };
  }
  return options;
}

}  // namespace

extern "C" {

const char* brindlecast_last_error(void) { return last_error.c_str(); }

brindlecast_status brindlecast_read_state(const char* install_root, brindlecast_state** out) {
  if (out) *out = nullptr;
  const char* missing = out ? nullptr : "no place for the state was given";
  return guarded(install_root, missing, [&](const std::string& root) {
    auto state = brindlecast::read_client_state(root);
    if (!state) return fail(state.error());
    // Owned until handed out: running out of memory below must not leak it.
    std::unique_ptr<brindlecast_state> result(new brindlecast_state{std::move(state).value(), {}, {}});
    result->json = brindlecast::write_install_state(result->state, brindlecast::json::Layout::Compact);
    for (const auto& [slot, version] : result->state.versions) result->versions.emplace_back(&slot, &version);
    std::sort(result->versions.begin(), result->versions.end(),
              [](const auto& a, const auto& b) { return *a.first < *b.first; });
    *out = result.release();
    return BRINDLECAST_OK;
  });
}

void brindlecast_state_free(brindlecast_state* state) { delete state; }

const char* brindlecast_state_active(const brindlecast_state* state) {
  return state ? state->state.active.c_str() : nullptr;
}

const char* brindlecast_state_known_good(const brindlecast_state* state) {
  return state ? state->state.known_good.c_str() : nullptr;
}

const char* brindlecast_state_channel(const brindlecast_state* state) {
  return state ? state->state.channel.c_str() : nullptr;
}

const char* brindlecast_state_pending(const brindlecast_state* state) {
  return state && state->state.pending ? state->state.pending->c_str() : nullptr;
}

uint32_t brindlecast_state_failed_starts(const brindlecast_state* state) {
  return state ? state->state.failed_starts : 0;
}

int brindlecast_state_started_ok(const brindlecast_state* state) { return state && state->state.started_ok; }

int brindlecast_state_relaunch_intent(const brindlecast_state* state) {
  return state && state->state.relaunch_intent;
}

size_t brindlecast_state_version_count(const brindlecast_state* state) {
  return state ? state->versions.size() : 0;
}

int brindlecast_state_version_at(const brindlecast_state* state, size_t index, const char** slot,
                                 const char** version) {
  const bool found = state && index < state->versions.size();
  const auto* entry = found ? &state->versions[index] : nullptr;
  if (slot) *slot = entry ? entry->first->c_str() : nullptr;
  if (version) *version = entry && *entry->second ? (*entry->second)->c_str() : nullptr;
  return found ? 1 : 0;
}

const char* brindlecast_state_json(const brindlecast_state* state) {
  return state ? state->json.c_str() : nullptr;
}

brindlecast_status brindlecast_init(const char* install_root, const char* slot, const char* version,
                                    const char* channel) {
  return update(install_root, slot ? nullptr : "no slot was given", [&](const std::string& root) {
    return brindlecast::init_state(root, slot, version ? std::optional<std::string>(version) : std::nullopt,
                                   channel ? channel : "stable");
  });
}

brindlecast_status brindlecast_confirm_start(const char* install_root, const char* executable) {
  return update(install_root, executable ? nullptr : "no executable was given",
                [&](const std::string& root) { return brindlecast::confirm_start(root, executable); });
}

brindlecast_status brindlecast_prune_reporting(const char* install_root, int dry_run, int64_t min_age_seconds,
                                               const brindlecast_prune_reports* reports) {
  const char* negative = min_age_seconds < 0 ? "the minimum age is negative" : nullptr;
  const brindlecast_prune_reports given = reports ? *reports : brindlecast_prune_reports{};
  return update(install_root, negative, [&](const std::string& root) {
    brindlecast::PruneReports each;
    each.removed = [&](const std::string& slot) {
      if (given.removed) given.removed(slot.c_str(), given.context);
    };
    each.young = [&](const std::string& slot, std::chrono::nanoseconds age, bool future) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(age).count();
      if (given.kept_young) given.kept_young(slot.c_str(), seconds, future ? 1 : 0, given.context);
    };
    each.notice = [&](const std::string& line) {
      if (given.notice) given.notice(line.c_str(), given.context);
    };
    // In nanoseconds an age reaches 292 years: anything longer keeps every slot.
    constexpr auto kLongest =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::nanoseconds::max());
    const auto min_age = min_age_seconds >= kLongest.count()
                             ? std::chrono::nanoseconds::max()
                             : std::chrono::nanoseconds(std::chrono::seconds(min_age_seconds));
    return brindlecast::prune_slots(root, dry_run != 0, min_age, each);
  });
}

brindlecast_status brindlecast_prune_older_than(
    const char* install_root, int dry_run, int64_t min_age_seconds,
    void (*removed)(const char* slot, void* context),
    void (*kept_young)(const char* slot, int64_t age_seconds, void* context), void* context) {
  struct Older {
    void (*removed)(const char*, void*);
    void (*kept_young)(const char*, int64_t, void*);
    void* context;
  } older{removed, kept_young, context};
  brindlecast_prune_reports reports{};
  reports.context = &older;
  reports.removed = [](const char* slot, void* c) {
    const auto* o = static_cast<Older*>(c);
    if (o->removed) o->removed(slot, o->context);
  };
  reports.kept_young = [](const char* slot, int64_t age, int, void* c) {
    const auto* o = static_cast<Older*>(c);
    if (o->kept_young) o->kept_young(slot, age, o->context);
  };
  return brindlecast_prune_reporting(install_root, dry_run, min_age_seconds, &reports);
}

brindlecast_status brindlecast_prune(const char* install_root, int dry_run,
                                     void (*removed)(const char* slot, void* context), void* context) {
  return brindlecast_prune_older_than(install_root, dry_run, BRINDLECAST_PRUNE_MIN_AGE, removed, nullptr,
                                      context);
}

brindlecast_status brindlecast_install_with(const char* install_root, const char* source, const char* slot,
                                            const char* version, const brindlecast_install_options* options) {
  const brindlecast_install_options given = options ? *options : brindlecast_install_options{};
  const unsigned flags = given.flags;
  constexpr unsigned kKnown = BRINDLECAST_INSTALL_MOVE | BRINDLECAST_INSTALL_NO_TRIAL |
                              BRINDLECAST_INSTALL_INIT | BRINDLECAST_TRIAL_RETRY |
                              BRINDLECAST_TRIAL_ALLOW_DOWNGRADE;
  const bool init = (flags & BRINDLECAST_INSTALL_INIT) != 0;
  const char* missing = !source                  ? "no source was given"
                        : !slot                  ? "no slot was given"
                        : (flags & ~kKnown) != 0 ? "unknown install flags"
                        : init && (flags & BRINDLECAST_INSTALL_NO_TRIAL)
                            ? "BRINDLECAST_INSTALL_INIT records the "
                              "first state: it cannot go with "
                              "BRINDLECAST_INSTALL_NO_TRIAL"
                            : nullptr;
  return update(install_root, missing, [&](const std::string& root) {
    brindlecast::InstallOptions each;
    each.move = (flags & BRINDLECAST_INSTALL_MOVE) != 0;
    each.trial = !init && (flags & BRINDLECAST_INSTALL_NO_TRIAL) == 0;
    each.init = init;
    if (given.channel) each.channel = given.channel;
    each.trial_options = trial_options(flags, given.notice, given.context);
    if (given.public_key) each.public_key = given.public_key;
    if (given.signature) each.signature = given.signature;
    each.max_bytes = given.max_bytes;
    return brindlecast::install_slot(
        root, source, slot, version ? std::optional<std::string>(version) : std::nullopt, each,
        [&](const brindlecast::InstallProgress& p) {
          if (given.progress)
            given.progress(p.files_done, p.files_total, p.bytes_done, p.bytes_total, given.context);
        });
  });
}

brindlecast_status brindlecast_install_reporting(const char* install_root, const char* source,
                                                 const char* slot, const char* version, unsigned flags,
                                                 void (*progress)(uint64_t files_done, uint64_t files_total,
                                                                  uint64_t bytes_done, uint64_t bytes_total,
                                                                  void* context),
                                                 void* context) {
  brindlecast_install_options options{};
  options.flags = flags;
  options.progress = progress;
  options.context = context;
  return brindlecast_install_with(install_root, source, slot, version, &options);
}

brindlecast_status brindlecast_install(const char* install_root, const char* source, const char* slot,
                                       const char* version, unsigned flags) {
  return brindlecast_install_reporting(install_root, source, slot, version, flags, nullptr, nullptr);
}

brindlecast_status brindlecast_read_trials(const char* install_root, brindlecast_trials** out) {
  if (out) *out = nullptr;
  const char* missing = out ? nullptr : "no place for the trials was given";
  return guarded(install_root, missing, [&](const std::string& root) {
    auto reports = brindlecast::report_trials(root);
    if (!reports) return fail(reports.error());
    *out = new brindlecast_trials{std::move(reports).value()};
    return BRINDLECAST_OK;
  });
}

size_t brindlecast_trials_count(const brindlecast_trials* trials) {
  return trials ? trials->reports.size() : 0;
}

int brindlecast_trials_at(const brindlecast_trials* trials, size_t index, brindlecast_trial* out) {
  if (!trials || index >= trials->reports.size()) return 0;
  if (!out) return 1;
  const auto& r = trials->reports[index];
  const auto text = [](const std::optional<std::string>& t) { return t ? t->c_str() : nullptr; };
  *out = brindlecast_trial{r.trial.slot.c_str(),        text(r.trial.version),
                           r.trial.begun.c_str(),       static_cast<brindlecast_outcome>(r.outcome),
                           r.trial.by_launcher ? 1 : 0, r.unconfirmed_starts,
                           text(r.trial.replaced_by),   text(r.trial.ended)};
  return 1;
}

void brindlecast_trials_free(brindlecast_trials* trials) { delete trials; }

brindlecast_status brindlecast_set_relaunch_intent(const char* install_root) {
  return update(install_root, nullptr,
                [](const std::string& root) { return brindlecast::set_relaunch_intent(root); });
}

brindlecast_status brindlecast_abort_trial(const char* install_root) {
  return update(install_root, nullptr,
                [](const std::string& root) { return brindlecast::abort_trial(root); });
}

brindlecast_status brindlecast_begin_trial_reporting(
    const char* install_root, const char* slot, const char* version, unsigned flags,
    void (*notice)(brindlecast_notice_kind, const char*, void*), void* context) {
  const char* missing =
      !slot ? "no slot was given"
      : (flags & ~unsigned{BRINDLECAST_TRIAL_RETRY | BRINDLECAST_TRIAL_ALLOW_DOWNGRADE}) != 0
          ? "unknown trial flags"
          : nullptr;
  return update(install_root, missing, [&](const std::string& root) {
    return brindlecast::begin_trial(root, slot, version ? std::optional<std::string>(version) : std::nullopt,
                                    trial_options(flags, notice, context));
  });
}

brindlecast_status brindlecast_begin_trial(const char* install_root, const char* slot, const char* version) {
  return brindlecast_begin_trial_reporting(install_root, slot, version, 0, nullptr, nullptr);
}

}  // extern "C"
