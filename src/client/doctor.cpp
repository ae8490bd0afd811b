#include "client/doctor.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "client/calls.hpp"
#include "client/prune.hpp"
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

Value optional_value(const std::optional<std::string>& text) {
  return text ? Value(shown(*text)) : Value(nullptr);
}

std::string line_of(const Finding& f, bool json) {
  if (!json) return f.name + ": " + f.text + "\n";
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

// Why path cannot be started as a program, or nothing when it can.
std::optional<std::string> unusable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? "missing" : os_error_text(errno);
  if (!S_ISREG(st.st_mode)) return "not a file";
  if (::access(path.c_str(), X_OK) != 0) return "not executable";
  return std::nullopt;
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

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.empty() ? "." : dir.c_str())) {
    while (const dirent* entry = ::readdir(d)) names.emplace_back(entry->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Doctor {
 public:
  explicit Doctor(const DoctorOptions& options) : options_(options) {}

  DoctorReport run() {
    const std::optional<std::string> launcher = launcher_path();
    const LauncherConfigLookup lookup = look_up_launcher_config(launcher);
    report_launcher_json(lookup);
    const auto root = choose_install_root(options_.install_root, lookup.config);
    report_root_and_method(root, choose_install_method(options_.install_method, lookup.config));
    bool runs = false;
    if (root.root) {
      runs = report_state_and_start(*root.root, find_sibling_client(launcher));
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

  // state.json, its slots and the next start; true when that start would run a client.
  bool report_state_and_start(const std::string& root, const std::optional<std::string>& sibling) {
    const std::string path = state_path(root);
    Result<InstallState, Error> state = Err(Error{ErrorKind::Other, ""});
    auto bytes = read_file(path);
    if (!bytes) {
      state = bytes.forward();
      struct stat st {};
      std::string why = ": cannot be read: " + state.error().message;
      if (state.error().kind == ErrorKind::NotFound) {
        why = ::stat((root.empty() ? "." : root.c_str()), &st) != 0
                  ? ": none, and the install root does not exist"
                  : ": none; brindlecast-state init SLOT [VERSION] creates it";
      }
      auto& f = add("state.json", false, shown(path) + why);
      f.members = {{"path", shown(path)}, {"error", state.error().message}};
    } else if (auto decoded = parse_install_state(*bytes); !decoded) {
      const auto& e = decoded.error();
      state = Err(Error{ErrorKind::InvalidData, e.full_text()});
      auto& f = add("state.json", false,
                    shown(path) + ": cannot be decoded: " + e.full_text() + "; " + std::string(kReplaceHint));
      f.members = {{"path", shown(path)},
                   {"error", e.message},
                   {"line", std::uint64_t{e.line}},
                   {"column", std::uint64_t{e.column}}};
    } else {
      state = std::move(decoded).value();
      auto& f =
          add("state.json", true, shown(path) + ": " + write_install_state(*state, json::Layout::Compact));
      f.members = {{"path", shown(path)}};
      f.state = *state;
      report_slots(root, *state);
    }
    const std::optional<InstallState> before = state ? std::optional(*state) : std::nullopt;
    const auto next = plan_next_start(root, sibling, std::move(state));
    if (!next) {
      add("next start", false, "fails: state.json: " + next.error().message).members = {{"runs", false}};
      return false;
    }
    const auto problem = unusable(next->executable);
    std::string what;
    if (!next->slot) {
      what = "runs the client beside the launcher";
    } else if (next->effect == LaunchEffect::Rollback) {
      what = "rolls back: slot " + shown(before->active) + " on trial has " +
             std::to_string(before->failed_starts) + " unconfirmed starts; runs known_good " +
             shown(*next->slot);
    } else if (next->effect == LaunchEffect::Commit) {
      what = "commits slot " + shown(*next->slot) + ", which confirmed its start, and runs it";
    } else if (next->effect == LaunchEffect::CountStart) {
      what = "runs slot " + shown(*next->slot) +
             " on trial (unconfirmed starts so far: " + std::to_string(before->failed_starts) +
             "); no rollback due";
    } else {
      what =
          "runs slot " + shown(*next->slot) + (next->effect == LaunchEffect::Relaunch ? ", a relaunch" : "");
    }
    auto& f = add("next start", !problem,
                  what + ": " + shown(next->executable) + (problem ? ": " + *problem + ", so it fails" : ""));
    f.members = {{"executable", shown(next->executable)},
                 {"slot", optional_value(next->slot)},
                 {"rollback", next->effect == LaunchEffect::Rollback},
                 {"runs", !problem}};
    return !problem;
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
      if (::stat(dir.c_str(), &st) != 0) {
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
    const auto leftover = [&](const std::string& path, const char* what) {
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
      if (name.rfind(kPruneHiddenPrefix, 0) == 0) {
        leftover(join_path(slots, name),
                 "a prune is deleting it, or was killed doing so; the next prune finishes it");
      } else if (name.rfind(kInstallStagingPrefix, 0) == 0) {
        leftover(join_path(slots, name),
                 "an install is filling it, or was killed doing so; the next prune or install removes it");
      }
    }
    if (!any) add("leftovers", true, "none");
  }

  // Tries the writers' lock without waiting, and lets go at once.
  void report_locks(const std::string& root) {
    const std::string dir = root.empty() ? "." : root;
    const int fd = retry_eintr([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) {
      add("locks", false, "cannot tell: " + shown(dir) + ": " + os_error_text(errno)).members = {
          {"locks", nullptr}};
      return;
    }
    const int locked = retry_eintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); });
    const int error = locked == 0 ? 0 : errno;
    if (locked == 0) (void)::flock(fd, LOCK_UN);
    ::close(fd);
    if (error == 0 || error == EWOULDBLOCK) {
      add("locks", true,
          error == 0 ? "the file system holds them"
                     : "the file system holds them; another writer holds the lock now")
          .members = {{"locks", true}};
    } else {
      add("locks", false,
          "none on this file system (" + os_error_text(error) +
              "): writers go on without, and changes made at the same time may be lost")
          .members = {{"locks", false}};
    }
  }

  const DoctorOptions& options_;
  std::vector<Finding> findings_;
};

}  // namespace

DoctorReport doctor(const DoctorOptions& options) { return Doctor(options).run(); }

}  // namespace brindlecast
