// trials.json, as the writers save it:
//   {
//     "brindlecast_trials": 1,
//     "trials": [
//       {"slot": "2.0", "version": "2.0.0", "begun": "2026-12-08T09:00:00Z",
//        "rollback_target": "1.0", "outcome": "committed", "by_launcher": true,
//        "ended": "2026-12-09T10:00:00Z", "replaced_by": null, "unconfirmed_starts": 0}
//     ]
//   }
// oldest first. The first member says whose file it is; members a later
// version adds are skipped when read.
#include "client/trials.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>

#include "common/fd.hpp"
#include "common/file.hpp"
#include "common/paths.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace brindlecast {
namespace {

using json::JsonReader;
using json::JsonResult;

constexpr std::string_view kMarker = "brindlecast_trials";
// Far above kTrialsKept trials of any sensible names.
constexpr std::size_t kMaxTrialsFile = 1024 * 1024;

// The recorded ends; OnTrial and Unknown are never recorded.
constexpr std::array<std::pair<Outcome, std::string_view>, 4> kRecorded = {{
    {Outcome::Committed, "committed"},
    {Outcome::RolledBack, "rolled back"},
    {Outcome::Aborted, "aborted"},
    {Outcome::Replaced, "replaced"},
}};

JsonResult<Done> read_trial(JsonReader& reader, Trial& trial) {
  if (reader.peek() != '{') return Err(reader.invalid_type("a trial"));
  reader.begin_container();
  bool first = true;
  bool has_slot = false, has_begun = false, has_target = false;
  for (;;) {
    auto key = reader.next_key(first);
    if (!key) return key.forward();
    if (!*key) break;
    if (auto colon = reader.expect_colon(); !colon) return colon;
    const std::string& k = **key;
    const auto text = [&](std::string& into, bool& seen) -> JsonResult<Done> {
      auto s = reader.read_string("a string");
      if (!s) return s.forward();
      into = std::move(s).value();
      seen = true;
      return Done{};
    };
    const auto optional_text = [&](std::optional<std::string>& into) -> JsonResult<Done> {
      auto s = reader.read_optional_string("a string");
      if (!s) return s.forward();
      into = std::move(s).value();
      return Done{};
    };
    JsonResult<Done> read = Done{};
    if (k == "slot") {
      read = text(trial.slot, has_slot);
    } else if (k == "begun") {
      read = text(trial.begun, has_begun);
    } else if (k == "rollback_target") {
      read = text(trial.rollback_target, has_target);
    } else if (k == "version") {
      read = optional_text(trial.version);
    } else if (k == "ended") {
      read = optional_text(trial.ended);
    } else if (k == "replaced_by") {
      read = optional_text(trial.replaced_by);
    } else if (k == "outcome") {
      std::optional<std::string> name;
      read = optional_text(name);
      if (read && name) {
        for (const auto& [outcome, text] : kRecorded) {
          if (*name == text) trial.outcome = outcome;
        }
        if (!trial.outcome) return Err(reader.error_here("unknown outcome \"" + *name + "\""));
      }
    } else if (k == "by_launcher") {
      auto b = reader.read_bool("a boolean");
      if (!b) return b.forward();
      trial.by_launcher = *b;
    } else if (k == "unconfirmed_starts") {
      auto n = reader.read_u32("u32");
      if (!n) return n.forward();
      trial.unconfirmed_starts = *n;
    } else {
      read = reader.skip_value();
    }
    if (!read) return read;
  }
  if (!has_slot || !has_begun || !has_target) {
    return Err(reader.error_here("a trial without its slot, begin or rollback target"));
  }
  return Done{};
}

JsonResult<std::vector<Trial>> read_history(JsonReader& reader) {
  if (reader.peek() != '{') return Err(reader.invalid_type("a trial history"));
  reader.begin_container();
  bool first = true;
  auto key = reader.next_key(first);
  if (!key) return key.forward();
  if (!*key || **key != kMarker) return Err(reader.error_here("not a trial history of brindlecast"));
  if (auto colon = reader.expect_colon(); !colon) return colon.forward();
  auto format = reader.read_u32("u32");
  if (!format) return format.forward();
  if (*format != 1) return Err(reader.error_here("a trial history of another format"));
  std::vector<Trial> trials;
  for (;;) {
    key = reader.next_key(first);
    if (!key) return key.forward();
    if (!*key) break;
    if (auto colon = reader.expect_colon(); !colon) return colon.forward();
    if (**key != "trials") {
      if (auto skipped = reader.skip_value(); !skipped) return skipped.forward();
      continue;
    }
    if (reader.peek() != '[') return Err(reader.invalid_type("a list of trials"));
    reader.begin_container();
    bool first_trial = true;
    for (;;) {
      auto more = reader.next_element(first_trial);
      if (!more) return more.forward();
      if (!*more) break;
      Trial trial;
      if (auto read = read_trial(reader, trial); !read) return read.forward();
      trials.push_back(std::move(trial));
    }
  }
  if (auto end = reader.expect_end(); !end) return end.forward();
  return trials;
}

}  // namespace

std::string trials_path(std::string_view install_root) { return join_path(install_root, "trials.json"); }

Result<std::vector<Trial>, Error> parse_trials(std::string_view text) {
  JsonReader reader(text);
  auto trials = read_history(reader);
  if (!trials) return Err(Error{ErrorKind::InvalidData, trials.error().full_text()});
  return std::move(trials).value();
}

Result<std::vector<Trial>, Error> load_trials(const std::string& install_root) {
  const std::string path = trials_path(install_root);
  // Without blocking and without following a link: whatever lies at the
  // name, a writer must get past it.
  Fd fd(retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::vector<Trial>{};
    return Err(os_error(errno == ELOOP ? EINVAL : errno));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Err(os_error(errno));
  if (!S_ISREG(st.st_mode)) return Err(Error{ErrorKind::InvalidData, "it is not a regular file"});
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) return Err(os_error(errno));
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxTrialsFile) return Err(Error{ErrorKind::InvalidData, "it is far too large"});
  }
  return parse_trials(text);
}

std::string write_trials(const std::vector<Trial>& trials) {
  json::JsonWriter w(json::Layout::Pretty);
  w.begin_object();
  w.key(kMarker);
  w.uint_value(1);
  w.key("trials");
  w.begin_array();
  for (const Trial& t : trials) {
    w.element();
    w.begin_object();
    w.key("slot");
    w.string_value(t.slot);
    w.key("version");
    w.optional_string_value(t.version);
    w.key("begun");
    w.string_value(t.begun);
    w.key("rollback_target");
    w.string_value(t.rollback_target);
    w.key("outcome");
    w.optional_string_value(t.outcome ? std::optional<std::string>(outcome_text(*t.outcome)) : std::nullopt);
    w.key("by_launcher");
    w.bool_value(t.by_launcher);
    w.key("ended");
    w.optional_string_value(t.ended);
    w.key("replaced_by");
    w.optional_string_value(t.replaced_by);
    w.key("unconfirmed_starts");
    w.uint_value(t.unconfirmed_starts);
    w.end_object();
  }
  w.end_array();
  w.end_object();
  return w.take() + "\n";
}

Outcome outcome_of(const Trial& trial, const InstallState& state, bool last) {
  if (trial.outcome) return *trial.outcome;
  // Every writer that keeps the history records the end of the trial before
  // it, so only the newest can have ended unseen.
  if (!last) return Outcome::Unknown;
  if (state.pending && state.active == trial.slot) return Outcome::OnTrial;
  if (state.known_good == trial.slot) return Outcome::Committed;
  if (!state.pending && state.active == trial.rollback_target) return Outcome::RolledBack;
  // Another trial took its place through a writer that keeps no history, or
  // whose save of it was cut short.
  return Outcome::Replaced;
}

const char* outcome_text(Outcome outcome) {
  switch (outcome) {
    case Outcome::OnTrial:
      return "on trial";
    case Outcome::Committed:
      return "committed";
    case Outcome::RolledBack:
      return "rolled back";
    case Outcome::Aborted:
      return "aborted";
    case Outcome::Replaced:
      return "replaced";
    case Outcome::Unknown:
      break;
  }
  return "unknown";
}

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char stamp[32] = "";
  if (::gmtime_r(&now, &utc) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return stamp;
}

}  // namespace brindlecast
