// brindlecast-state: the install state from the shell, for installers,
// updaters and service hooks. Every command but two is one call of the client
// library, so a script writes state.json exactly as the launcher and the
// library do: under the install root's lock, atomically and durably. doctor
// needs the launcher's own resolution and launch policy, and init --replace is
// a recovery the library's callers have no use for: the library carries
// neither, so both run on the state code linked in statically. So do the
// small parts the library does not export: the resolution of the install
// root (the launcher's; with --launcher, that launcher's launcher.json
// included) and the version text.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecast/client.hpp"
#include "client/calls.hpp"
#include "client/signature.hpp"
#include "common/install_root.hpp"
#include "common/utf8.hpp"
#include "common/version.hpp"
#include "json/writer.hpp"
#include "launcher/config.hpp"
#include "state_tool/doctor.hpp"

namespace {

constexpr const char* kName = "brindlecast-state";

constexpr const char* kUsage =
    "Usage: brindlecast-state [--install-root DIR] [--launcher PATH] COMMAND [ARGUMENTS]\n"
    "\n"
    "Reads and changes the install state (state.json) of brindlecast-launcher.\n"
    "\n"
    "Commands:\n"
    "  show                         print the state as one line of JSON\n"
    "  init SLOT [VERSION] [--channel NAME] [--replace]\n"
    "                               create the first state.json: SLOT active and known good;\n"
    "                               --replace: over one that cannot be decoded, kept aside\n"
    "  install [--move] [--no-trial | --init] [--quiet] [--retry] [--allow-downgrade]\n"
    "          [--public-key KEY [--signature FILE]] [--max-bytes N] SOURCE SLOT [VERSION]\n"
    "                               install the directory or archive SOURCE as slots/SLOT, safe\n"
    "                               against power cuts and prune, and put it on trial; --move\n"
    "                               renames a directory instead of copying it; --no-trial records\n"
    "                               nothing; --init makes the first state.json with it; with\n"
    "                               --public-key only an archive signed with KEY installs\n"
    "  begin-trial [--retry] [--allow-downgrade] SLOT [VERSION]\n"
    "                               put the version installed in slots/SLOT on trial; a confirmed\n"
    "                               trial is committed first; --retry offers a version whose last\n"
    "                               trial failed, --allow-downgrade one older than known_good's\n"
    "  status [--json]              the trial on now and the recent trials, with their outcomes\n"
    "  verify --public-key KEY [--signature FILE] ARCHIVE VERSION\n"
    "                               check an archive's signature, and that it names VERSION\n"
    "  confirm EXECUTABLE           confirm a good start of the running client, named by\n"
    "                               the path it was started as (its argv[0])\n"
    "  request-relaunch             have the next start not counted against a trial\n"
    "  abort-trial                  roll the version on trial back to known_good now\n"
    "  prune [--dry-run] [--min-age AGE]\n"
    "                               remove the slots the launcher cannot reach from the state,\n"
    "                               but none changed less than AGE ago (0, or a number with s,\n"
    "                               m, h or d; default %AGE): an install may be in progress\n"
    "  doctor [--install-method METHOD] [--json]\n"
    "                               say what the launcher would do at its next start, and why\n"
    "\n"
    "Options:\n"
    "  --install-root DIR  the install root; default $BRINDLECAST_INSTALL_ROOT, else\n"
    "                      $HOME/Library/Application Support/Brindlecast/ota/install\n"
    "  --launcher PATH     find the root as the launcher at PATH does, its launcher.json\n"
    "                      included (default for doctor: the launcher beside this program)\n"
    "  --help              print this help\n"
    "  --version           print the version\n";

// An age as a person reads it: in its largest whole unit.
std::string age_text(std::int64_t seconds) {
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) return std::to_string(seconds / 60) + "m";
  if (seconds < 86400) return std::to_string(seconds / 3600) + "h";
  return std::to_string(seconds / 86400) + "d";
}

// The usage, with prune's default age as the library has it.
std::string usage() {
  std::string text = kUsage;
  text.replace(text.find("%AGE"), 4, age_text(BRINDLECAST_PRUNE_MIN_AGE));
  return text;
}

struct Arguments {
  std::optional<std::string> install_root;
  std::optional<std::string> channel;
  std::optional<std::string> min_age;
  std::optional<std::string> launcher;
  std::optional<std::string> install_method;
  std::optional<std::string> public_key;
  std::optional<std::string> signature;
  std::optional<std::string> max_bytes;
  bool dry_run = false;
  bool init = false;
  bool retry = false;
  bool allow_downgrade = false;
  bool replace = false;
  bool move = false;
  bool no_trial = false;
  bool quiet = false;
  bool json = false;
  bool help = false;
  bool version = false;
  std::vector<std::string> words;  // the command and its operands
};

int print(std::FILE* stream, const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() || std::fflush(stream) != 0) return 1;
  return 0;
}

int fail(const std::string& message) {
  print(stderr, std::string(kName) + ": " + brindlecast::shown_text(message) + "\n");
  return 1;
}

int usage_error(const std::string& message) {
  print(stderr, std::string(kName) + ": " + brindlecast::shown_text(message) + "\n\n" + usage());
  return 2;
}

// The options that take no value, and the member each sets.
constexpr std::pair<const char*, bool Arguments::*> kFlags[] = {
    {"--dry-run", &Arguments::dry_run},
    {"--replace", &Arguments::replace},
    {"--move", &Arguments::move},
    {"--no-trial", &Arguments::no_trial},
    {"--quiet", &Arguments::quiet},
    {"--json", &Arguments::json},
    {"--init", &Arguments::init},
    {"--retry", &Arguments::retry},
    {"--allow-downgrade", &Arguments::allow_downgrade},
    {"--help", &Arguments::help},
    {"-h", &Arguments::help},
    {"--version", &Arguments::version},
};

// Options may stand anywhere; "--" ends them. An error is the usage problem.
std::optional<std::string> parse(int argc, char** argv, Arguments& out) {
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](const char* name,
                           std::optional<std::string>& target) -> std::optional<std::string> {
      const std::string prefix = std::string(name) + "=";
      if (arg.rfind(prefix, 0) == 0) {
        target = arg.substr(prefix.size());
      } else if (i + 1 < argc) {
        target = argv[++i];
      } else {
        return std::string(name) + " needs a value";
      }
      return std::nullopt;
    };
    const auto is = [&](const char* name) {
      return arg == name || arg.rfind(std::string(name) + "=", 0) == 0;
    };
    if (!options || arg.empty() || arg[0] != '-' || arg == "-") {
      out.words.push_back(arg);
    } else if (arg == "--") {
      options = false;
    } else if (is("--install-root")) {
      if (auto e = value("--install-root", out.install_root)) return e;
    } else if (is("--channel")) {
      if (auto e = value("--channel", out.channel)) return e;
    } else if (is("--min-age")) {
      if (auto e = value("--min-age", out.min_age)) return e;
    } else if (is("--launcher")) {
      if (auto e = value("--launcher", out.launcher)) return e;
    } else if (is("--install-method")) {
      if (auto e = value("--install-method", out.install_method)) return e;
    } else if (is("--public-key")) {
      if (auto e = value("--public-key", out.public_key)) return e;
    } else if (is("--signature")) {
      if (auto e = value("--signature", out.signature)) return e;
    } else if (is("--max-bytes")) {
      if (auto e = value("--max-bytes", out.max_bytes)) return e;
    } else if (const auto flag = std::find_if(std::begin(kFlags), std::end(kFlags),
                                              [&](const auto& f) { return arg == f.first; });
               flag != std::end(kFlags)) {
      out.*(flag->second) = true;
    } else {
      return "unknown option " + arg;
    }
  }
  return std::nullopt;
}

// A state.json that cannot be decoded blocks every command: say the way out.
int fail(brindlecast_status code, const std::string& message) {
  if (code != BRINDLECAST_ERR_INVALID_DATA) return fail(message);
  return fail(message + "; " + brindlecast::replace_hint());
}

int report(const brindlecast::client::Status& status) {
  return status ? 0 : fail(status.code, status.message);
}

int show(const std::string& root) {
  brindlecast_state* state = nullptr;
  if (const auto code = brindlecast_read_state(root.c_str(), &state); code != BRINDLECAST_OK) {
    return fail(code, brindlecast_last_error());
  }
  const std::string line = std::string(brindlecast_state_json(state)) + "\n";
  brindlecast_state_free(state);
  if (print(stdout, line) != 0) return fail("cannot write the state to standard output");
  return 0;
}

// --min-age: 0, or a whole number followed by s, m, h or d; the seconds, or
// the usage problem.
std::optional<std::string> parse_min_age(const std::string& text, std::int64_t& seconds) {
  const std::string shown = "--min-age \"" + text + "\"";
  seconds = 0;
  if (text == "0") return std::nullopt;
  if (text.rfind('-', 0) == 0) return shown + " is negative";
  const std::size_t digits = text.find_first_not_of("0123456789");
  if (digits == 0 || digits == std::string::npos || text.size() != digits + 1) {
    return shown + " is not 0 or a number followed by s, m, h or d";
  }
  static constexpr std::pair<char, std::int64_t> kUnits[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
  std::int64_t unit = 0;
  for (const auto& [name, length] : kUnits) {
    if (text[digits] == name) unit = length;
  }
  if (unit == 0) return shown + " has an unknown unit; use s, m, h or d";
  std::int64_t count = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + digits, count);
  if (parsed.ec != std::errc() || count > std::numeric_limits<std::int64_t>::max() / unit) {
    return shown + " is too large";
  }
  seconds = count * unit;
  return std::nullopt;
}

int prune(const std::string& root, bool dry_run, std::int64_t min_age, std::string min_age_text) {
  brindlecast_prune_reports reports{};
  reports.removed = [](const char* slot, void*) {
    std::printf("%s\n", brindlecast::shown_text(slot).c_str());
  };
  reports.kept_young = [](const char* slot, std::int64_t age, int future, void* text) {
    const std::string why =
        future ? "its mtime lies in the future, and its ctime says it changed " : "it changed ";
    print(stderr, std::string(kName) + ": kept slots/" + brindlecast::shown_text(slot) + ": " + why +
                      age_text(age) + " ago, within --min-age " + *static_cast<const std::string*>(text) +
                      "\n");
  };
  reports.notice = [](const char* line, void*) {
    print(stderr, std::string(kName) + ": " + brindlecast::shown_text(line) + "\n");
  };
  reports.context = &min_age_text;
  const brindlecast_status status =
      brindlecast_prune_reporting(root.c_str(), dry_run ? 1 : 0, min_age, &reports);
  if (std::fflush(stdout) != 0 && status == BRINDLECAST_OK) return fail("cannot write to standard output");
  return status == BRINDLECAST_OK ? 0 : fail(status, brindlecast_last_error());
}

// The progress of a copy, on one line of a terminal rewritten in place:
// only once it has taken more than a moment, and a few times a second.
struct Progress {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now(), shown;
  bool any = false;

  void update(std::uint64_t files, std::uint64_t files_total, std::uint64_t bytes,
              std::uint64_t bytes_total) {
    const auto now = std::chrono::steady_clock::now();
    const bool last = files_total != 0 && files == files_total;
    if (!last &&
        (now - start < std::chrono::milliseconds(500) || now - shown < std::chrono::milliseconds(100))) {
      return;
    }
    if (!any && last) return;  // done before it was worth a line
    shown = now;
    any = true;
    const auto mib = [](std::uint64_t n) { return std::to_string(n / (1024 * 1024)); };
    // An archive's totals are not known before it is unpacked; while a
    // signed one is checked there are no files yet.
    const std::string line =
        files_total != 0 ? "copying: " + std::to_string(files) + " of " + std::to_string(files_total) +
                               " files, " + mib(bytes) + " of " + mib(bytes_total) + " MiB "
        : files == 0 && bytes_total != 0
            ? "checking the signature: " + mib(bytes) + " of " + mib(bytes_total) + " MiB "
            : "unpacking: " + std::to_string(files) + " files, " + mib(bytes) + " MiB ";
    print(stderr, "\r" + line);
  }
  void end() const {
    if (any) print(stderr, "\r\033[K");
  }
};

// Notices go to standard error, each a line; a commit is kept for the line
// that reports the new trial, where there is one.
struct Notices {
  bool keep_commit = false;
  std::string committed;

  static void tell(brindlecast_notice_kind kind, const char* line, void* context) {
    auto& self = *static_cast<Notices*>(context);
    if (kind == BRINDLECAST_NOTICE_COMMITTED && self.keep_commit) {
      self.committed = line;
      return;
    }
    print(stderr, std::string(kName) + ": " + brindlecast::shown_text(line) + "\n");
  }
};

// --max-bytes: a whole number of bytes, or of K, M, G or T (powers of 1024).
std::optional<std::string> parse_bytes(const std::string& text, std::uint64_t& bytes) {
  const std::string shown = "--max-bytes \"" + text + "\"";
  const std::size_t digits = text.find_first_not_of("0123456789");
  static constexpr std::pair<char, int> kUnits[] = {{'K', 10}, {'M', 20}, {'G', 30}, {'T', 40}};
  int shift = digits == std::string::npos ? 0 : -1;
  for (const auto& [name, bits] : kUnits) {
    if (digits != std::string::npos && digits + 1 == text.size() && text[digits] == name) shift = bits;
  }
  if (digits == 0 || shift < 0) return shown + " is not a number of bytes, or of K, M, G or T";
  std::uint64_t count = 0;
  const auto end = text.data() + (digits == std::string::npos ? text.size() : digits);
  const auto parsed = std::from_chars(text.data(), end, count);
  if (parsed.ec != std::errc() || count == 0 ||
      count > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
    return shown + (count == 0 && parsed.ec == std::errc() ? " is zero" : " is too large");
  }
  bytes = count << shift;
  return std::nullopt;
}

unsigned trial_flags(const Arguments& args) {
  return (args.retry ? BRINDLECAST_TRIAL_RETRY : 0u) |
         (args.allow_downgrade ? BRINDLECAST_TRIAL_ALLOW_DOWNGRADE : 0u);
}

int install(const std::string& root, const Arguments& args, std::uint64_t max_bytes) {
  const std::string& slot = args.words[2];
  const std::optional<std::string> version =
      args.words.size() > 3 ? std::optional<std::string>(args.words[3]) : std::nullopt;
  Progress progress;
  Notices notices{!args.quiet && !args.no_trial && !args.init, {}};
  struct Context {
    Progress* progress;
    Notices* notices;
  } context{&progress, &notices};
  brindlecast_install_options options{};
  options.flags = (args.move ? BRINDLECAST_INSTALL_MOVE : 0u) |
                  (args.no_trial ? BRINDLECAST_INSTALL_NO_TRIAL : 0u) |
                  (args.init ? BRINDLECAST_INSTALL_INIT : 0u) | trial_flags(args);
  options.channel = args.channel ? args.channel->c_str() : nullptr;
  options.public_key = args.public_key ? args.public_key->c_str() : nullptr;
  options.signature = args.signature ? args.signature->c_str() : nullptr;
  options.max_bytes = max_bytes;
  options.context = &context;
  if (!args.quiet && ::isatty(STDERR_FILENO) == 1) {
    options.progress = [](std::uint64_t files, std::uint64_t files_total, std::uint64_t bytes,
                          std::uint64_t bytes_total, void* c) {
      static_cast<Context*>(c)->progress->update(files, files_total, bytes, bytes_total);
    };
  }
  options.notice = [](brindlecast_notice_kind kind, const char* line, void* c) {
    Notices::tell(kind, line, static_cast<Context*>(c)->notices);
  };
  const brindlecast_status status = brindlecast_install_with(
      root.c_str(), args.words[1].c_str(), slot.c_str(), version ? version->c_str() : nullptr, &options);
  progress.end();
  if (status != BRINDLECAST_OK) return fail(status, brindlecast_last_error());
  if (args.quiet) return 0;
  std::string line = "installed slots/" + slot + (version ? " (version " + *version + ")" : "");
  if (args.public_key) line += ", its signature checked";
  if (args.no_trial) {
    line += "; nothing recorded (--no-trial)";
  } else if (args.init) {
    line += "; the first state: it is active and known good";
  } else {
    if (!notices.committed.empty()) line += "; " + notices.committed;
    line += "; on trial: the next start runs it";
  }
  return print(stdout, brindlecast::shown_text(line) + "\n") == 0 ? 0
                                                                  : fail("cannot write to standard output");
}

int begin_trial(const std::string& root, const Arguments& args) {
  Notices notices;
  const brindlecast_status status = brindlecast_begin_trial_reporting(
      root.c_str(), args.words[1].c_str(), args.words.size() > 2 ? args.words[2].c_str() : nullptr,
      trial_flags(args), Notices::tell, &notices);
  return status == BRINDLECAST_OK ? 0 : fail(status, brindlecast_last_error());
}

const char* outcome_name(brindlecast_outcome outcome) {
  switch (outcome) {
    case BRINDLECAST_OUTCOME_ON_TRIAL:
      return "on trial";
    case BRINDLECAST_OUTCOME_COMMITTED:
      return "committed";
    case BRINDLECAST_OUTCOME_ROLLED_BACK:
      return "rolled back";
    case BRINDLECAST_OUTCOME_ABORTED:
      return "aborted";
    case BRINDLECAST_OUTCOME_REPLACED:
      return "replaced";
    case BRINDLECAST_OUTCOME_UNKNOWN:
      break;
  }
  return "unknown";
}

// One trial as a line: "3.0 (version 3.0.0), begun T: rolled back by the launcher".
std::string trial_line(const brindlecast_trial& t) {
  const auto starts = [](std::uint32_t n) {
    return std::to_string(n) + (n == 1 ? " unconfirmed start" : " unconfirmed starts");
  };
  std::string line = std::string(t.slot) + (t.version ? " (version " + std::string(t.version) + ")" : "");
  line += *t.begun ? ", begun " + std::string(t.begun) : ", begun by a writer that keeps no history";
  line += std::string(": ") + outcome_name(t.outcome);
  switch (t.outcome) {
    case BRINDLECAST_OUTCOME_ON_TRIAL:
      return line + ", " + starts(t.unconfirmed_starts) + " so far";
    case BRINDLECAST_OUTCOME_REPLACED:
      return line + (t.replaced_by ? " by " + std::string(t.replaced_by) : "") + " after " +
             starts(t.unconfirmed_starts);
    case BRINDLECAST_OUTCOME_ABORTED:
      return line + " after " + starts(t.unconfirmed_starts);
    default:
      return line + (t.by_launcher ? " by the launcher" : "");
  }
}

std::string trial_json(const brindlecast_trial& t) {
  brindlecast::json::JsonWriter w(brindlecast::json::Layout::Compact);
  const auto text = [&](const char* value) {
    if (value) {
      w.string_value(value);
    } else {
      w.null_value();
    }
  };
  w.begin_object();
  w.key("slot");
  text(t.slot);
  w.key("version");
  text(t.version);
  w.key("begun");
  text(*t.begun ? t.begun : nullptr);
  w.key("outcome");
  text(outcome_name(t.outcome));
  w.key("by_launcher");
  w.bool_value(t.by_launcher != 0);
  w.key("unconfirmed_starts");
  w.uint_value(t.unconfirmed_starts);
  w.key("replaced_by");
  text(t.replaced_by);
  w.key("ended");
  text(t.ended);
  w.end_object();
  return w.take();
}

int status(const std::string& root, bool json) {
  brindlecast_trials* trials = nullptr;
  if (const auto code = brindlecast_read_trials(root.c_str(), &trials); code != BRINDLECAST_OK) {
    return fail(code, brindlecast_last_error());
  }
  std::string out;
  brindlecast_trial t{};
  for (std::size_t i = 0; brindlecast_trials_at(trials, i, &t); ++i)
    out += (json ? trial_json(t) : brindlecast::shown_text(trial_line(t))) + "\n";
  brindlecast_trials_free(trials);
  if (out.empty() && !json) out = "no trials recorded\n";
  return print(stdout, out) == 0 ? 0 : fail("cannot write to standard output");
}

int verify(const Arguments& args) {
  const std::string& archive = args.words[1];
  auto key = brindlecast::load_public_key(*args.public_key);
  if (!key) return fail(key.error().message);
  auto signature = brindlecast::load_signature(args.signature.value_or(archive + ".minisig"));
  if (!signature) return fail(signature.error().message);
  const int fd = ::open(archive.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int e = fd < 0 ? errno : EINVAL;
    if (fd >= 0) ::close(fd);
    return fail("cannot read the archive " + archive + ": " + brindlecast::os_error_text(e));
  }
  auto verified = brindlecast::verify_file(fd, archive, *key, *signature, args.words[2]);
  ::close(fd);
  if (!verified) return fail(verified.error().message);
  return print(stdout, brindlecast::shown_text(archive + ": signature holds, for version " + args.words[2]) +
                           "\n") == 0
             ? 0
             : fail("cannot write to standard output");
}

int init(const std::string& root, const std::string& slot, const std::optional<std::string>& version,
         const std::string& channel) {
  namespace client = brindlecast::client;
  const client::Status status = client::init(slot, version, channel, root);
  if (status.code != BRINDLECAST_ERR_EXISTS) return report(status);
  // Say so when the file that is in the way is a broken one.
  client::State state;
  const client::Status read = client::read_state(state, root);
  return fail(read.code, read ? status.message : status.message + ": " + read.message);
}

int replace(const std::string& root, const std::string& slot, const std::optional<std::string>& version,
            const std::string& channel) {
  auto kept = brindlecast::replace_state(root, slot, version, channel);
  if (!kept) return fail(kept.error().message);
  if (!*kept) return 0;
  if (print(stdout, "kept the old state.json as " + **kept + "\n") != 0)
    return fail("cannot write to standard output");
  print(stderr, std::string(kName) + ": the channel and the versions of the broken file are not kept\n");
  return 0;
}

int doctor(const Arguments& args) {
  const auto report = brindlecast::doctor({args.launcher, args.install_root, args.install_method, args.json});
  if (print(stdout, report.lines) != 0) return fail("cannot write to standard output");
  return report.runs_a_client ? 0 : 1;
}

int run(int argc, char** argv) {
  Arguments args;
  if (auto problem = parse(argc, argv, args)) return usage_error(*problem);
  if (args.help) return print(stdout, usage()) == 0 ? 0 : fail("cannot write the help");
  if (args.version) {
    const std::string line = std::string(kName) + " " + std::string(brindlecast::kVersionText) + "\n";
    return print(stdout, line) == 0 ? 0 : fail("cannot write the version");
  }
  if (args.words.empty()) return usage_error("no command given");
  const std::string command = args.words[0];
  const std::size_t operands = args.words.size() - 1;
  const auto operand = [&](std::size_t k) {
    return k < args.words.size() ? std::optional<std::string>(args.words[k]) : std::nullopt;
  };
  struct Shape {
    const char* name;
    std::size_t min, max;
    bool channel, dry_run;
  };
  static constexpr Shape kShapes[] = {
      {"show", 0, 0, false, false},        {"init", 1, 2, true, false},
      {"begin-trial", 1, 2, false, false}, {"install", 2, 3, true, false},
      {"confirm", 1, 1, false, false},     {"request-relaunch", 0, 0, false, false},
      {"abort-trial", 0, 0, false, false}, {"prune", 0, 0, false, true},
      {"doctor", 0, 0, false, false},      {"status", 0, 0, false, false},
      {"verify", 2, 2, false, false},
  };
  const Shape* shape = nullptr;
  for (const auto& s : kShapes) {
    if (command == s.name) shape = &s;
  }
  if (!shape) return usage_error("unknown command " + command);
  if (operands < shape->min || operands > shape->max)
    return usage_error("wrong number of arguments for " + command);
  if (args.channel && !shape->channel) return usage_error("--channel belongs to init");
  if (args.dry_run && !shape->dry_run) return usage_error("--dry-run belongs to prune");
  if (args.min_age && !shape->dry_run) return usage_error("--min-age belongs to prune");
  std::int64_t min_age = BRINDLECAST_PRUNE_MIN_AGE;
  if (args.min_age) {
    if (auto problem = parse_min_age(*args.min_age, min_age)) return usage_error(*problem);
  }
  if (args.replace && command != "init") return usage_error("--replace belongs to init");
  if ((args.move || args.no_trial || args.quiet || args.init || args.max_bytes) && command != "install") {
    return usage_error(std::string(args.move       ? "--move"
                                   : args.no_trial ? "--no-trial"
                                   : args.quiet    ? "--quiet"
                                   : args.init     ? "--init"
                                                   : "--max-bytes") +
                       " belongs to install");
  }
  if (command == "install" && args.channel && !args.init) return usage_error("--channel belongs to init");
  if (args.init && args.no_trial) return usage_error("--init records the first state: not with --no-trial");
  if ((args.retry || args.allow_downgrade) && command != "install" && command != "begin-trial") {
    return usage_error(std::string(args.retry ? "--retry" : "--allow-downgrade") +
                       " belongs to install and begin-trial");
  }
  if ((args.public_key || args.signature) && command != "install" && command != "verify") {
    return usage_error(std::string(args.public_key ? "--public-key" : "--signature") +
                       " belongs to install and verify");
  }
  if (args.signature && !args.public_key) return usage_error("--signature goes with --public-key");
  if (command == "verify" && !args.public_key) return usage_error("verify needs --public-key");
  std::uint64_t max_bytes = 0;
  if (args.max_bytes) {
    if (auto problem = parse_bytes(*args.max_bytes, max_bytes)) return usage_error(*problem);
  }
  if (args.install_method && command != "doctor") return usage_error("--install-method belongs to doctor");
  if (args.json && command != "doctor" && command != "status") {
    return usage_error("--json belongs to doctor and status");
  }
  if (command == "verify") return verify(args);
  // The launcher resolves its root its own way, launcher.json included.
  if (command == "doctor") return doctor(args);

  const auto configured =
      args.launcher ? brindlecast::load_launcher_config(args.launcher).install_root : std::nullopt;
  const auto root = brindlecast::find_install_root(args.install_root, configured, true).root;
  if (!root)
    return fail(
        "no install root: pass --install-root or --launcher, or set BRINDLECAST_INSTALL_ROOT or HOME");
  namespace client = brindlecast::client;
  if (command == "show") return show(*root);
  if (command == "init") {
    return (args.replace ? replace : init)(*root, *operand(1), operand(2), args.channel.value_or("stable"));
  }
  if (command == "begin-trial") return begin_trial(*root, args);
  if (command == "install") return install(*root, args, max_bytes);
  if (command == "status") return status(*root, args.json);
  if (command == "confirm") return report(client::confirm_start(*operand(1), root));
  if (command == "request-relaunch") return report(client::set_relaunch_intent(root));
  if (command == "abort-trial") return report(client::abort_trial(root));
  return prune(*root, args.dry_run, min_age, args.min_age.value_or(age_text(BRINDLECAST_PRUNE_MIN_AGE)));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
}
