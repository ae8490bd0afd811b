#include "client/calls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "client/locked_state.hpp"
#include "client/thread_wait.hpp"
#include "common/constants.hpp"
#include "common/file.hpp"
#include "common/platform.hpp"
#include "common/utf8.hpp"
#include "state/policy.hpp"
#include "state/slots.hpp"
#include "state/store.hpp"
#include "state/version.hpp"

namespace brindlecast {
namespace {

// A refused text as a message shows it: bytes that are not UTF-8 would garble
// the line, and a NUL would end it.
std::string shown(std::string_view text) {
  std::string out = "\"";
  for (const char c : utf8_lossy(text)) out += c == '\0' ? std::string("\\0") : std::string(1, c);
  return out + "\"";
}

// Where a command looked: its root may not be the one the reader thinks of.
std::string in_root(const std::string& install_root) {
  return "the install root " + utf8_lossy(install_root);
}

Error refused(const char* argument, std::string_view text, const char* why) {
  return Error{ErrorKind::InvalidInput, std::string(argument) + " " + shown(text) + " " + why};
}

// Every text a writer stores must be readable by every reader of the file.
Result<Done, Error> check_text(const char* argument, std::string_view text) {
  if (!is_valid_utf8(text)) return Err(refused(argument, text, "is not valid UTF-8"));
  return Done{};
}

}  // namespace

Result<Done, Error> check_version(const std::optional<std::string>& version) {
  return version ? check_text("version", *version) : Done{};
}

// The launcher joins a slot name as one path component; names beginning with
// "." are kept for the tools' own use (prune hides the slots it removes so).
Result<Done, Error> check_slot_name(const std::string& slot) {
  if (auto text = check_text("slot", slot); !text) return text;
  if (slot.empty() || slot.find('/') != std::string::npos || slot.find('\0') != std::string::npos) {
    return Err(refused("slot", slot, "is not a single directory name"));
  }
  if (slot[0] == '.')
    return Err(refused("slot", slot, "begins with \".\", which only the tools' own names do"));
  return Done{};
}

namespace {

// A slot without its executable would only burn a trial's starts on failures
// before the rollback, or leave the launcher nothing to start: refuse it.
// Checked under the lock, so a slot pruned meanwhile is not taken.
Result<Done, Error> check_slot_client(const std::string& install_root, const std::string& slot) {
  struct stat st {};
  const std::string client = entrypoint_path(install_root, slot);
  if (::stat(client.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string why = "holds no " + std::string(kClientFileName) + " file in " + in_root(install_root);
    return Err(refused("slot", slot, why.c_str()));
  }
  return Done{};
}

// change may refuse with an error; the state is saved only when it changed.
template <class Change>
Result<Done, Error> update_state(const std::string& install_root, Change change) {
  auto locked = read_locked(install_root);
  if (!locked) return locked.forward();
  InstallState updated = locked->state;
  if (auto changed = change(updated); !changed) return changed;
  if (updated == locked->state) return Done{};
  return save_client_state(install_root, updated, locked->lock);
}

}  // namespace

Result<InstallState, Error> read_client_state(const std::string& install_root) {
  auto state = load_state(state_path(install_root));
  if (!state) {
    Error error = std::move(state).error();
    const std::string context = error.kind == ErrorKind::InvalidData
                                    ? "state.json is malformed"
                                    : "cannot read state.json in " + in_root(install_root);
    return Err(with_context(context, std::move(error)));
  }
  return std::move(state).value();
}

Result<Done, Error> set_relaunch_intent(const std::string& install_root) {
  return update_state(install_root, [](InstallState& s) -> Result<Done, Error> {
    s.relaunch_intent = true;
    return Done{};
  });
}

Result<Done, Error> put_on_trial(InstallState& s, const std::string& install_root, const std::string& slot,
                                 const std::optional<std::string>& version) {
  if (auto usable = check_slot_client(install_root, slot); !usable) return usable;
  s.active = slot;
  s.pending = slot;
  s.versions[slot] = version;
  s.failed_starts = 0;
  s.started_ok = false;
  return Done{};
}

namespace {

// "2.0 (version 2.0.0)", as the lines about a trial name it.
std::string named(const std::string& slot, const std::optional<std::string>& version) {
  return utf8_lossy(slot) + (version ? " (version " + utf8_lossy(*version) + ")" : "");
}

std::string starts(std::uint32_t n) {
  return std::to_string(n) + (n == 1 ? " unconfirmed start" : " unconfirmed starts");
}

// The trial the history names as on trial now, if any; an ended newest one
// whose end nobody recorded gets the end the state shows.
Trial* settle(TrialLog& log, const InstallState& state, const std::string& now) {
  if (log.trials.empty()) return nullptr;
  Trial& last = log.trials.back();
  const Outcome outcome = outcome_of(last, state, true);
  if (outcome == Outcome::OnTrial) return &last;
  if (!last.outcome) {
    last.outcome = outcome;
    last.by_launcher = outcome == Outcome::Committed || outcome == Outcome::RolledBack;
    last.ended = now;
  }
  return nullptr;
}

// The trial before: committed if it confirmed its start, as the launcher
// would at its next start, else replaced; each told to notice.
void end_current_trial(InstallState& state, Trial* current, const std::string& slot, const std::string& now,
                       const Notice& notice) {
  if (!state.pending) return;
  const std::string what = named(
      state.active, state.versions.count(state.active) != 0 ? state.versions.at(state.active) : std::nullopt);
  if (current) current->ended = now;
  if (state.started_ok && !state.relaunch_intent) {
    if (current) current->outcome = Outcome::Committed;
    (void)apply_launch_rules(state);
    if (notice) notice(NoticeKind::Committed, "committed " + what + ", which had confirmed its start");
    return;
  }
  if (current) {
    current->outcome = Outcome::Replaced;
    current->replaced_by = slot;
    current->unconfirmed_starts = state.failed_starts;
  }
  if (notice) {
    notice(NoticeKind::Replaced, "replaced the trial of " + what + ", which had " +
                                     starts(state.failed_starts) + " and no confirmation");
  }
}

// A version whose last trial failed is not offered again by accident: the
// newest trial of this version, or of this slot with no other version.
Result<Done, Error> check_retry(const TrialLog& log, const InstallState& state, const std::string& slot,
                                const std::optional<std::string>& version) {
  for (std::size_t i = log.trials.size(); i-- > 0;) {
    const Trial& t = log.trials[i];
    const bool same_version = version && t.version == version;
    const bool same_slot = t.slot == slot && (!version || !t.version || same_version);
    if (!same_version && !same_slot) continue;
    const Outcome outcome = outcome_of(t, state, i + 1 == log.trials.size());
    if (outcome != Outcome::RolledBack && outcome != Outcome::Aborted) return Done{};
    return Err(Error{ErrorKind::InvalidInput, "refused: the last trial of " + named(t.slot, t.version) +
                                                  ", begun " + t.begun + ", was " + outcome_text(outcome) +
                                                  "; --retry offers it again"});
  }
  return Done{};
}

// No downgrade by accident; where the versions cannot be compared, say so.
Result<Done, Error> check_downgrade(const InstallState& state, const std::optional<std::string>& version,
                                    const Notice& notice) {
  const auto entry = state.versions.find(state.known_good);
  const std::optional<std::string> good = entry != state.versions.end() ? entry->second : std::nullopt;
  const auto ours = version ? parse_version(*version) : std::nullopt;
  const auto theirs = good ? parse_version(*good) : std::nullopt;
  if (ours && theirs) {
    if (compare_versions(*ours, *theirs) >= 0) return Done{};
    return Err(
        Error{ErrorKind::InvalidInput, "refused: version " + utf8_lossy(*version) + " is older than " +
                                           utf8_lossy(*good) + ", the version of the known-good slot " +
                                           utf8_lossy(state.known_good) + "; --allow-downgrade installs it"});
  }
  std::string why;
  if (!version) {
    why = "no version was given";
  } else if (!ours) {
    why = "\"" + utf8_lossy(*version) + "\" is not a version of the form 1.2.3";
  } else if (!good) {
    why = "the known-good slot " + utf8_lossy(state.known_good) + " has no recorded version";
  } else {
    why = "the known-good slot's version \"" + utf8_lossy(*good) + "\" is not of the form 1.2.3";
  }
  if (notice) notice(NoticeKind::Other, "cannot tell whether this is a downgrade: " + why);
  return Done{};
}

}  // namespace

TrialLog read_trial_log(const std::string& install_root) {
  auto trials = load_trials(install_root);
  if (trials) return TrialLog{std::move(trials).value(), std::nullopt};
  return TrialLog{{}, trials.error().message};
}

namespace {

// The ends and refusals of a new trial, made on the caller's copies.
Result<Done, Error> decide_trial(InstallState& next, TrialLog& next_log, const std::string& slot,
                                 const std::optional<std::string>& version, const TrialOptions& options,
                                 const std::string& now, const Notice& keep) {
  end_current_trial(next, settle(next_log, next, now), slot, now, keep);
  if (!options.retry) {
    if (auto fresh = check_retry(next_log, next, slot, version); !fresh) return fresh;
  }
  if (!options.allow_downgrade) return check_downgrade(next, version, keep);
  return Done{};
}

}  // namespace

Result<Done, Error> check_new_trial(const InstallState& state, const TrialLog& log, const std::string& slot,
                                    const std::optional<std::string>& version, const TrialOptions& options) {
  InstallState next = state;
  TrialLog next_log = log;
  return decide_trial(next, next_log, slot, version, options, utc_now(), {});
}

Result<Told, Error> start_trial(InstallState& state, TrialLog& log, const std::string& install_root,
                                const std::string& slot, const std::optional<std::string>& version,
                                const TrialOptions& options) {
  const std::string now = utc_now();
  // Decided on copies: a refusal must leave nothing changed, and tell nothing.
  InstallState next = state;
  TrialLog next_log = log;
  Told told;
  const Notice keep = [&](NoticeKind kind, const std::string& line) { told.emplace_back(kind, line); };
  if (auto decided = decide_trial(next, next_log, slot, version, options, now, keep); !decided) {
    return decided.forward();
  }
  if (auto put = put_on_trial(next, install_root, slot, version); !put) return put.forward();
  next_log.trials.push_back(
      Trial{slot, version, now, next.known_good, std::nullopt, false, std::nullopt, std::nullopt, 0});
  if (next_log.trials.size() > kTrialsKept) {
    next_log.trials.erase(next_log.trials.begin(),
                          next_log.trials.begin() + static_cast<long>(next_log.trials.size() - kTrialsKept));
  }
  state = std::move(next);
  log = std::move(next_log);
  return told;
}

namespace {

// A history that could not be taken is kept under a name of its own, as
// init --replace keeps a broken state.json.
Result<std::string, Error> set_aside(const std::string& install_root) {
  const std::string path = trials_path(install_root);
  std::string stamp = utc_now();
  std::erase_if(stamp, [](char c) { return c == '-' || c == ':'; });
  for (int n = 1; n < 100; ++n) {
    std::string kept = path + ".broken-" + stamp;
    if (n > 1) kept.append("-").append(std::to_string(n));
    if (rename_no_replace(path.c_str(), kept.c_str()) == 0) return kept;
    if (errno != EEXIST) return Err(os_error(errno));
  }
  return Err(os_error(EEXIST));
}

}  // namespace

Result<Done, Error> save_with_trials(const std::string& install_root, const InstallState& state,
                                     TrialLog& log, const RootLock& lock, const Notice& notice,
                                     const Told& told) {
  if (auto saved = save_client_state(install_root, state, lock); !saved) return saved;
  if (notice) {
    for (const auto& [kind, line] : told) notice(kind, line);
  }
  const auto tell = [&](const std::string& line) {
    if (notice) notice(NoticeKind::Other, line);
  };
  if (log.unusable) {
    auto kept = set_aside(install_root);
    if (!kept) {
      tell("trials.json cannot be taken (" + *log.unusable + ") nor set aside (" + kept.error().message +
           "): the trial history was not saved");
      return Done{};
    }
    tell("trials.json could not be taken (" + *log.unusable + "): kept it as " + *kept +
         " and began a new trial history");
    log.unusable.reset();
  }
  sweep_temp_files(trials_path(install_root), lock);
  if (auto saved = save_document(trials_path(install_root), write_trials(log.trials)); !saved) {
    tell("the trial history was not saved: " + saved.error().message);
  }
  return Done{};
}

Result<Done, Error> abort_trial(const std::string& install_root, const Notice& notice) {
  auto locked = read_locked(install_root);
  if (!locked) return locked.forward();
  InstallState state = locked->state;
  if (!state.pending) return Err(Error{ErrorKind::InvalidInput, "refused: no version is on trial"});
  TrialLog log = read_trial_log(install_root);
  const std::string now = utc_now();
  if (Trial* current = settle(log, state, now)) {
    current->outcome = Outcome::Aborted;
    current->ended = now;
    current->unconfirmed_starts = state.failed_starts;
  }
  roll_back(state);
  return save_with_trials(install_root, state, log, locked->lock, notice);
}

Result<Done, Error> begin_trial(const std::string& install_root, const std::string& slot,
                                const std::optional<std::string>& version, const TrialOptions& options) {
  if (auto valid = check_slot_name(slot); !valid) return valid;
  if (auto valid = check_version(version); !valid) return valid;
  auto locked = read_locked(install_root);
  if (!locked) return locked.forward();
  InstallState state = locked->state;
  TrialLog log = read_trial_log(install_root);
  auto told = start_trial(state, log, install_root, slot, version, options);
  if (!told) return told.forward();
  return save_with_trials(install_root, state, log, locked->lock, options.notice, *told);
}

Result<std::vector<TrialReport>, Error> report_trials(const std::string& install_root) {
  auto state = read_client_state(install_root);
  if (!state) return state.forward();
  auto trials = load_trials(install_root);
  if (!trials) {
    // Not InvalidData: that is state.json's, whose way out is another.
    return Err(Error{ErrorKind::Other, "trials.json cannot be taken: " + trials.error().message +
                                           "; the next install or begin-trial sets it aside"});
  }
  std::vector<TrialReport> reports;
  bool named = false;
  for (std::size_t i = trials->size(); i-- > 0;) {
    Trial& t = (*trials)[i];
    const Outcome outcome = outcome_of(t, *state, i + 1 == trials->size());
    named = named || outcome == Outcome::OnTrial;
    if (!t.outcome) t.by_launcher = outcome == Outcome::Committed || outcome == Outcome::RolledBack;
    const std::uint32_t count = outcome == Outcome::OnTrial ? state->failed_starts : t.unconfirmed_starts;
    reports.push_back(TrialReport{std::move(t), outcome, count, true});
  }
  if (state->pending && !named) {
    const auto entry = state->versions.find(state->active);
    Trial unnamed{state->active,
                  entry != state->versions.end() ? entry->second : std::nullopt,
                  "",
                  "",
                  std::nullopt,
                  false,
                  std::nullopt,
                  std::nullopt,
                  0};
    reports.insert(reports.begin(),
                   TrialReport{std::move(unnamed), Outcome::OnTrial, state->failed_starts, false});
  }
  return reports;
}

namespace {

Result<Done, Error> check_first_state(const std::string& slot, const std::optional<std::string>& version,
                                      const std::string& channel) {
  if (auto valid = check_slot_name(slot); !valid) return valid;
  if (auto valid = check_version(version); !valid) return valid;
  return check_text("channel", channel);
}

InstallState first_state(const std::string& slot, const std::optional<std::string>& version,
                         const std::string& channel) {
  InstallState state;
  state.active = state.known_good = slot;
  state.channel = channel;
  state.versions[slot] = version;
  return state;
}

Result<Done, Error> create_first_state(const std::string& install_root, const InstallState& state) {
  if (auto created = create_state(state_path(install_root), state); !created) {
    return Err(with_context("cannot create state.json", std::move(created).error()));
  }
  return Done{};
}

// A second name for state.json, so that the save replacing it takes nothing
// away. Flushed before that save: should the rename of the save reach the
// disk and the link not, a power cut would lose the old bytes.
Result<std::string, Error> keep_broken_state(const std::string& install_root) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char stamp[32] = "";
  if (::gmtime_r(&now, &utc) != nullptr) std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const std::string state = state_path(install_root);
  const std::string base = state + ".broken-" + stamp;
  for (int n = 1; n < 100; ++n) {
    std::string kept = n == 1 ? base : base + "-" + std::to_string(n);
    // Flag 0: a link planted at state.json is kept as the link it is.
    if (::linkat(AT_FDCWD, state.c_str(), AT_FDCWD, kept.c_str(), 0) != 0) {
      if (errno == EEXIST) continue;
      Error error = with_context("cannot keep state.json as " + kept, os_error(errno));
      error.message += "; nothing was changed: move it aside, then run init";
      return Err(std::move(error));
    }
    // Only the order matters here: the save's own flush of the directory
    // makes the link durable with the rename.
    if (const int failed = flush_directory(install_root, barrier_sync_file); failed != 0) {
      Error error =
          with_context("kept state.json as " + kept + ", but cannot flush the directory", os_error(failed));
      error.message += "; state.json was not replaced";
      return Err(std::move(error));
    }
    return kept;
  }
  return Err(with_context("cannot keep state.json", os_error(EEXIST)));
}

}  // namespace

Result<Done, Error> init_state(const std::string& install_root, const std::string& slot,
                               const std::optional<std::string>& version, const std::string& channel) {
  if (auto valid = check_first_state(slot, version, channel); !valid) return valid;
  auto lock = lock_root(install_root);
  if (!lock) return lock.forward();
  return create_initial_state(install_root, slot, version, channel, *lock);
}

Result<Done, Error> create_initial_state(const std::string& install_root, const std::string& slot,
                                         const std::optional<std::string>& version,
                                         const std::string& channel, const RootLock& lock) {
  if (auto usable = check_slot_client(install_root, slot); !usable) return usable;
  struct stat st {};
  if (::lstat(state_path(install_root).c_str(), &st) == 0) {
    return Err(Error{ErrorKind::AlreadyExists, "state.json already exists; init changes nothing"});
  }
  sweep_temp_files(state_path(install_root), lock);
  return create_first_state(install_root, first_state(slot, version, channel));
}

Result<std::optional<std::string>, Error> replace_state(const std::string& install_root,
                                                        const std::string& slot,
                                                        const std::optional<std::string>& version,
                                                        const std::string& channel) {
  if (auto valid = check_first_state(slot, version, channel); !valid) return valid.forward();
  auto lock = lock_root(install_root);
  if (!lock) return lock.forward();
  if (auto usable = check_slot_client(install_root, slot); !usable) return usable.forward();
  auto old = load_state(state_path(install_root));
  if (old) {
    return Err(Error{
        ErrorKind::AlreadyExists,
        "state.json can be read; init --replace changes nothing (begin-trial puts a version on trial)"});
  }
  if (old.error().kind == ErrorKind::NotFound) {
    sweep_temp_files(state_path(install_root), *lock);
    if (auto created = create_first_state(install_root, first_state(slot, version, channel)); !created) {
      return created.forward();
    }
    return std::optional<std::string>{};
  }
  if (old.error().kind != ErrorKind::InvalidData) {
    Error error = with_context("cannot read state.json in " + in_root(install_root), std::move(old).error());
    error.message += "; init --replace replaces only a file it has read and could not decode";
    return Err(std::move(error));
  }
  auto kept = keep_broken_state(install_root);
  if (!kept) return kept.forward();
  if (auto saved = save_client_state(install_root, first_state(slot, version, channel), *lock); !saved) {
    return saved.forward();
  }
  return std::optional<std::string>(std::move(kept).value());
}

Result<Done, Error> confirm_start(const std::string& install_root, const std::string& executable) {
  return update_state(install_root, [&](InstallState& state) -> Result<Done, Error> {
    if (state.pending) {
      const std::string on_trial = entrypoint_path(install_root, state.active);
      struct stat mine {};
      struct stat trial {};
      // A slot name with a NUL would name another file to the system.
      const bool same = on_trial.find('\0') == std::string::npos && ::stat(executable.c_str(), &mine) == 0 &&
                        ::stat(on_trial.c_str(), &trial) == 0 && mine.st_dev == trial.st_dev &&
                        mine.st_ino == trial.st_ino;
      if (!same) {
        return Err(
            Error{ErrorKind::InvalidInput, "refused: " + executable + " is not " + on_trial +
                                               ", the version on trial; only that version can confirm it"});
      }
    }
    state.started_ok = true;
    return Done{};
  });
}

}  // namespace brindlecast
