#include "state_tool/doctor.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <variant>
#include <vector>

#include "client/calls.hpp"
#include "client/remove_tree.hpp"
#include "common/constants.hpp"
#include "common/file.hpp"
#include "common/paths.hpp"
#include "common/platform.hpp"
#include "common/utf8.hpp"
#include "json/writer.hpp"
#include "launcher/config.hpp"
#include "state/bundle.hpp"
#include "state/policy.hpp"
#include "state/slots.hpp"
#include "state_tool/root_checks.hpp"
#include "state_tool/runnable.hpp"

namespace brindlecast {
namespace {

using Value = std::variant<std::nullptr_t, bool, std::uint64_t, std::string>;

struct Finding {
  std::string name;
  bool ok;  // false: worth an operator's look
  std::string text;
  std::vector<std::pair<std::string, Value>> members;  // the JSON form's own
  std::optional<InstallState> state;
};

// Paths and texts are byte strings; the report shows them as UTF-8.
std::string shown(std::string_view text) { return utf8_lossy(text); }

// text as one word of a shell command line.
std::string shell_word(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_./:@%+=,-") == std::string::npos;
  if (plain) return text;
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

Value optional_value(const std::optional<std::string>& text) {
  return text ? Value(shown(*text)) : Value(nullptr);
}

std::string line_of(const Finding& f, bool json) {
  // Control bytes a name may carry (a newline, an escape) as \xHH: each finding stays one line, and
  // none reaches the terminal raw. The JSON writer escapes its own.
  if (!json) return shown_text(f.name + ": " + f.text) + "\n";
  json::JsonWriter w(json::Layout::Compact);
  w.begin_object();
  w.key("finding");
  w.string_value(f.name);
  w.key("ok");
  w.bool_value(f.ok);
  w.key("text");
  w.string_value(f.text);
  for (const auto& [key, value] : f.members) {
    w.key(key);
    if (const auto* s = std::get_if<std::string>(&value)) w.string_value(*s);
    if (const auto* b = std::get_if<bool>(&value)) w.bool_value(*b);
    if (const auto* n = std::get_if<std::uint64_t>(&value)) w.uint_value(*n);
    if (std::holds_alternative<std::nullptr_t>(value)) w.null_value();
  }
  if (f.state) {
    w.key("state");
    write_install_state(*f.state, w);
  }
  w.end_object();
  return w.take() + "\n";
}

const char* source_name(ConfigSource source, bool root) {
  switch (source) {
    case ConfigSource::CommandLine:
      return root ? "--install-root" : "--install-method";
    case ConfigSource::Environment:
      return root ? "BRINDLECAST_INSTALL_ROOT" : "BRINDLECAST_INSTALL_METHOD";
    case ConfigSource::LauncherJson:
      return "launcher.json";
    case ConfigSource::Home:
      return "HOME";
    case ConfigSource::None:
      break;
  }
  return nullptr;
}

// What the launcher's next start does, as doctor says it.
std::string next_action(const NextStart& next, const std::optional<InstallState>& before) {
  if (!next.slot) return "runs the client beside the launcher";
  const std::string slot = shown(*next.slot);
  switch (next.effect) {
    case LaunchEffect::Rollback:
      return "rolls back: slot " + shown(before->active) + " on trial has " +
             std::to_string(before->failed_starts) + " unconfirmed starts; runs known_good " + slot;
    case LaunchEffect::Commit:
      return "commits slot " + slot + ", which confirmed its start, and runs it";
    case LaunchEffect::CountStart:
      return "runs slot " + slot +
             " on trial (unconfirmed starts so far: " + std::to_string(before->failed_starts) +
             "); no rollback due";
    case LaunchEffect::Relaunch:
      return "runs slot " + slot + ", a relaunch";
    default:
      return "runs slot " + slot;
  }
}

// Why the start fails before the client is looked at, as the launcher goes:
// the writers' lock, which it takes unless a newer client beside it starts
// at once (a root it cannot open for reading is an error for every writer),
// then the save before the start.
std::optional<std::string> start_blocked(const std::string& root, const std::optional<InstallState>& before,
                                         const std::optional<InstallState>& after, const NextStart& next) {
  const RootLockCheck lock = try_lock(root);
  if (!(before && !next.slot) && lock.open_error != 0 && lock.open_error != ENOENT) {
    return "fails: the install root cannot be opened for reading, so the writers' lock cannot be taken (" +
           os_error_text(lock.open_error) + ")";
  }
  if (next.effect == LaunchEffect::None || !after) return std::nullopt;
  const std::size_t bytes = write_install_state(*after, json::Layout::Pretty).size();
  if (const auto why = save_problem(root, bytes, lock.held())) {
    return "fails: the start must save state.json, and " + *why;
  }
  return std::nullopt;
}

// Enough to show the problem.
constexpr std::size_t kMostTrustWarnings = 10;

class Doctor {
 public:
  explicit Doctor(const DoctorOptions& options) : options_(options) {}

  DoctorReport run() {
    const std::optional<std::string> launcher = launcher_path();
    const LauncherConfigLookup lookup = look_up_launcher_config(launcher);
    report_launcher_json(lookup);
    const auto root = choose_install_root(options_.install_root, lookup.config);
    const auto method = choose_install_method(options_.install_method, lookup.config);
    report_root_and_method(root, method);
    bool runs = false;
    if (root.root) {
      root_option_ = "--install-root " + shell_word(shown(*root.root)) + " ";
      runs = report_state_and_start(*root.root, find_sibling_client(launcher), hands_over(method.method));
      report_trust(*root.root);
      report_leftovers(*root.root);
      report_locks(*root.root);
    } else {
      add("next start", false, "fails: there is no install root");
    }
    std::string lines;
    for (const auto& f : findings_) lines += line_of(f, options_.json);
    return DoctorReport{std::move(lines), runs};
  }

 private:
  Finding& add(std::string name, bool ok, std::string text) {
    return findings_.emplace_back(Finding{std::move(name), ok, std::move(text), {}, std::nullopt});
  }

  std::optional<std::string> launcher_path() {
    std::optional<std::string> path = options_.launcher;
    if (!path) {
      const auto self = executable_path();
      if (const auto dir = self ? parent_path(*self) : std::nullopt) path = join_path(*dir, kProgramName);
    }
    if (!path) {
      add("launcher", false, "cannot tell where it is: pass --launcher PATH");
      return path;
    }
    const auto problem = unusable(*path);
    auto& f = add("launcher", !problem, shown(*path) + (problem ? ": " + *problem : ""));
    f.members = {{"path", shown(*path)}, {"problem", optional_value(problem)}};
    return path;
  }

  void report_launcher_json(const LauncherConfigLookup& lookup) {
    if (!lookup.path) {
      add("launcher.json", true, "none: the launcher's path has no directory");
      return;
    }
    const std::string path = shown(*lookup.path);
    if (lookup.read_error && lookup.read_error->kind == ErrorKind::NotFound) {
      add("launcher.json", true, path + ": none").members = {{"path", path}, {"found", false}};
    } else if (lookup.read_error) {
      auto& f =
          add("launcher.json", false, path + ": ignored: cannot be read: " + lookup.read_error->message);
      f.members = {{"path", path}, {"found", true}, {"error", lookup.read_error->message}};
    } else if (const auto& e = lookup.parse_error) {
      auto& f = add("launcher.json", false, path + ": ignored: " + e->full_text());
      f.members = {{"path", path},
                   {"found", true},
                   {"error", e->message},
                   {"line", std::uint64_t{e->line}},
                   {"column", std::uint64_t{e->column}}};
    } else {
      add("launcher.json", true, path + ": read").members = {{"path", path}, {"found", true}};
    }
  }

  void report_root_and_method(const InstallRootChoice& root, const InstallMethodChoice& method) {
    const char* root_source = source_name(root.source, true);
    if (root.root) {
      auto& f = add("install root", true, shown(*root.root) + " (from " + root_source + ")");
      f.members = {{"path", shown(*root.root)}, {"source", std::string(root_source)}};
    } else {
      add("install root", false,
          "none: pass --install-root, set BRINDLECAST_INSTALL_ROOT or HOME, or add launcher.json")
          .members = {{"path", nullptr}, {"source", nullptr}};
    }
    const char* method_source = source_name(method.source, false);
    const std::string road = hands_over(method.method) ? "the hand-over road" : "the supervision road";
    std::string text;
    if (!method.text) {
      text = "none, " + road + " (nothing sets one)";
    } else if (!method.method) {
      text = "none, " + road + " (" + method_source + " gives \"" + shown(*method.text) +
             "\", which is not systemd, launchd, process or windows)";
    } else {
      text = *method.text + ", " + road + " (from " + method_source + ")";
    }
    auto& f = add("install method", !method.text || method.method, std::move(text));
    f.members = {
        {"method", method.method ? Value(std::string(install_method_text(*method.method))) : nullptr},
        {"given", optional_value(method.text)},
        {"source", method_source ? Value(std::string(method_source)) : nullptr},
        {"hands_over", hands_over(method.method)}};
  }

  // A command of brindlecast-state that acts on the root doctor looked at,
  // whatever the reader's own environment resolves.
  std::string command(const std::string& words) const { return "brindlecast-state " + root_option_ + words; }

  // state.json as the launcher would read it, with the slots it names, or
  // those on disk to choose from.
  Result<InstallState, Error> report_state(const std::string& root) {
    const std::string path = state_path(root);
    Result<InstallState, Error> state = Err(Error{ErrorKind::Other, ""});
    auto bytes = read_file(path);
    if (!bytes) {
      state = bytes.forward();
      struct stat st {};
      const bool no_root = ::stat((root.empty() ? "." : root.c_str()), &st) != 0;
      std::string why = ": cannot be read: " + state.error().message;
      if (state.error().kind == ErrorKind::NotFound) {
        why = no_root ? ": none, and the install root does not exist"
                      : ": none; " + command("init SLOT [VERSION] [--channel NAME]") + " creates it";
      }
      auto& f = add("state.json", false, shown(path) + why);
      f.members = {{"path", shown(path)}, {"error", state.error().message}};
      if (!no_root) report_slots_on_disk(root);
    } else if (auto decoded = parse_install_state(*bytes); !decoded) {
      const auto& e = decoded.error();
      state = Err(Error{ErrorKind::InvalidData, e.full_text()});
      auto& f =
          add("state.json", false,
              shown(path) + ": cannot be decoded: " + e.full_text() + "; " + replace_hint(root_option_));
      f.members = {{"path", shown(path)},
                   {"error", e.message},
                   {"line", std::uint64_t{e.line}},
                   {"column", std::uint64_t{e.column}}};
      report_slots_on_disk(root);
    } else {
      state = std::move(decoded).value();
      auto& f =
          add("state.json", true, shown(path) + ": " + write_install_state(*state, json::Layout::Compact));
      f.members = {{"path", shown(path)}};
      f.state = *state;
      report_slots(root, *state);
    }
    return state;
  }

  // state.json, its slots and the next start; true when that start would run a client.
  bool report_state_and_start(const std::string& root, const std::optional<std::string>& sibling,
                              bool hands_over) {
    Result<InstallState, Error> state = report_state(root);
    const std::optional<InstallState> before = state ? std::optional(*state) : std::nullopt;
    std::optional<InstallState> after = before;
    if (after) apply_launch_rules(*after);
    const auto next = plan_next_start(root, sibling, std::move(state));
    if (!next) {
      // With the state read, only the path of the slot to start can fail.
      const std::string what = before ? "slot " + shown(after->active) : std::string("state.json");
      add("next start", false, "fails: " + what + ": " + next.error().message).members = {{"runs", false}};
      return false;
    }
    std::optional<std::string> problem;
    std::string note;
    const std::optional<std::string> blocked = start_blocked(root, before, after, *next);
    if (blocked) {
      problem = blocked;
    } else if (const auto unusable_file = unusable(next->executable)) {
      problem = *unusable_file + ", so it fails";
    } else if (auto verdict = judge_start(next->executable, hands_over); verdict.runs) {
      note = std::move(verdict.text);
    } else {
      problem = std::move(verdict.text);
    }
    const std::string what = next_action(*next, before);
    std::string text = what + ": " + shown(next->executable) + (note.empty() ? "" : ": " + note);
    if (problem) text += ": " + *problem;
    // A trial that fails, or has failed before, need not wait for the rollback.
    if (after && after->pending && !blocked && (problem || before->failed_starts > 0)) {
      text += "; " + command("abort-trial") + " runs known_good " + shown(after->known_good) + " instead";
    }
    auto& f = add("next start", !problem, std::move(text));
    f.members = {{"executable", shown(next->executable)},
                 {"slot", optional_value(next->slot)},
                 {"rollback", next->effect == LaunchEffect::Rollback},
                 {"runs", !problem}};
    const uid_t me = ::geteuid();
    struct stat st {};
    if (next->effect != LaunchEffect::None && ::stat(root.empty() ? "." : root.c_str(), &st) == 0 &&
        st.st_uid != me) {
      add("user", true,
          "the save was judged for " + user_name(me) + "; the install root belongs to " +
              user_name(st.st_uid) + ", and a launcher that runs as that user may fare otherwise");
    }
    return !problem;
  }

  // What an operator chooses SLOT from when the state names none: each
  // directory in slots/ with the state of its client.
  void report_slots_on_disk(const std::string& root) {
    const std::string slots = slots_path(root);
    bool any = false;
    for (const auto& name : names_in(slots)) {
      struct stat st {};
      const std::string dir = join_path(slots, name);
      if (name[0] == '.' || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
      any = true;
      const std::string client = join_path(dir, kClientFileName);
      const auto problem = unusable(client);
      add("slot on disk", !problem,
          shown(name) + ": " + shown(client) + ": " + problem.value_or("executable"))
          .members = {{"slot", shown(name)}, {"path", shown(client)}, {"problem", optional_value(problem)}};
    }
    if (!any) add("slots on disk", false, shown(slots) + ": none");
  }

  // Whoever may change the root, slots/, state.json, or the active slot's
  // directories or client chooses what the launcher runs, with its rights.
  void report_trust(const std::string& root) {
    const uid_t me = ::geteuid();
    bool any = false;
    bool seen = false;
    std::vector<std::string> paths = {root.empty() ? std::string(".") : root, slots_path(root),
                                      state_path(root)};
    if (auto state = load_state(state_path(root)); state && state->active.find('\0') == std::string::npos) {
      const std::string client = entrypoint_path(root, state->active);
      if (const auto slot = parent_path(client)) directories_below(slot->empty() ? "." : *slot, paths);
      paths.push_back(client);
    }
    std::size_t warned = 0;
    for (const std::string& path : paths) {
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0) continue;
      seen = true;
      const auto warn = [&](const std::string& what, const char* who) {
        any = true;
        if (++warned > kMostTrustWarnings) return;
        add("trust", false, shown(path) + ": " + what + ": " + who + " can change what the launcher runs")
            .members = {{"path", shown(path)}};
      };
      if (const mode_t open = st.st_mode & (S_IWGRP | S_IWOTH); open != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 07777));
        const char* by = open == S_IWGRP   ? "its group"
                         : open == S_IWOTH ? "every user"
                                           : "its group and every user";
        warn(std::string("writable by ") + by + " (mode " + mode + ")", "they");
      }
      if (st.st_uid != me)
        warn("owned by " + user_name(st.st_uid) + ", not by " + user_name(me) + " who asks", "that user");
    }
    if (warned > kMostTrustWarnings) {
      add("trust", false, "and " + std::to_string(warned - kMostTrustWarnings) + " more such findings");
    }
    if (seen && !any) {
      add("trust", true,
          "no one but the owner may change the install root, slots/, state.json or the active slot");
    }
  }

  // Each slot the state names: a directory holding an executable client.
  void report_slots(const std::string& root, const InstallState& state) {
    std::vector<std::pair<std::string, std::string>> slots;  // slot, its roles
    const auto name = [&](const std::string& slot, const char* role) {
      auto it = std::find_if(slots.begin(), slots.end(), [&](const auto& s) { return s.first == slot; });
      if (it == slots.end()) {
        slots.emplace_back(slot, role);
      } else {
        it->second += std::string(", ") + role;
      }
    };
    name(state.active, "active");
    name(state.known_good, "known_good");
    if (state.pending) name(*state.pending, "pending");
    for (const auto& [slot, roles] : slots) {
      const std::string client = entrypoint_path(root, slot);
      const std::string dir = parent_path(client).value_or("");
      struct stat st {};
      std::optional<std::string> problem;
      std::string where = dir;
      if (dir.find('\0') != std::string::npos) {
        problem = std::string(kNulInPathMessage);
      } else if (::stat(dir.c_str(), &st) != 0) {
        problem = errno == ENOENT ? "missing" : os_error_text(errno);
      } else if (!S_ISDIR(st.st_mode)) {
        problem = "not a directory";
      } else {
        where = client;
        problem = unusable(client);
      }
      auto& f = add("slot", !problem,
                    shown(slot) + " (" + roles + "): " + shown(where) + (problem ? ": " + *problem : ""));
      f.members = {{"slot", shown(slot)},
                   {"roles", roles},
                   {"path", shown(where)},
                   {"problem", optional_value(problem)}};
    }
  }

  void report_leftovers(const std::string& root) {
    bool any = false;
    const auto leftover = [&](const std::string& path, const std::string& what) {
      any = true;
      add("leftover", false, shown(path) + ": " + what).members = {{"path", shown(path)}};
    };
    for (const auto& name : names_in(root)) {
      if (name.rfind("state.json.tmp", 0) == 0) {
        leftover(join_path(root, name), "the temporary file of a save that did not finish");
      }
    }
    const std::string slots = slots_path(root);
    for (const auto& name : names_in(slots)) {
      const std::string path = join_path(slots, name);
      if (name.rfind(kPruneHiddenPrefix, 0) == 0) {
        leftover(path,
                 "a prune is deleting it, or was killed doing so; " + finisher(path, "prune", "finishes"));
      } else if (name.rfind(kInstallStagingPrefix, 0) == 0) {
        leftover(path, "an install is filling it, or was killed doing so; " +
                           finisher(path, "prune or install", "removes"));
      }
    }
    if (!any) add("leftovers", true, "none");
  }

  void report_locks(const std::string& root) {
    const RootLockCheck lock = try_lock(root);
    if (lock.open_error != 0) {
      add("locks", false,
          "cannot tell: " + shown(root.empty() ? "." : root) + ": " + os_error_text(lock.open_error))
          .members = {{"locks", nullptr}};
    } else if (lock.held()) {
      add("locks", true,
          lock.lock_error == 0 ? "the file system holds them"
                               : "the file system holds them; another writer holds the lock now")
          .members = {{"locks", true}};
    } else {
      add("locks", false,
          "none on this file system (" + os_error_text(lock.lock_error) +
              "): writers go on without, and changes made at the same time may be lost")
          .members = {{"locks", false}};
    }
  }

  const DoctorOptions& options_;
  std::vector<Finding> findings_;
  std::string root_option_;  // "--install-root R ": how a suggested command names the root
};

}  // namespace

DoctorReport doctor(const DoctorOptions& options) { return Doctor(options).run(); }

}  // namespace brindlecast
