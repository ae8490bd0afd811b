#include "launcher/self_test.hpp"

#include "common/constants.hpp"
#include "common/utf8.hpp"
#include "common/version.hpp"
#include "json/writer.hpp"
#include "state/slots.hpp"
#include "state/store.hpp"

namespace brindlecast {

std::string self_test_report(const std::optional<std::string>& install_root,
                             std::optional<InstallMethod> install_method) {
  std::optional<InstallState> state;
  if (install_root) {
    // Why a state cannot be read is not the report's business.
    if (auto loaded = load_state(state_path(*install_root))) state = std::move(loaded).value();
  }

  json::JsonWriter w(json::Layout::Compact);
  w.begin_object();
  w.key("binary");
  w.string_value(kProgramName);
  w.key("version");
  w.string_value(kVersionText);
  w.key("ok");
  w.bool_value(true);
  w.key("install_root");
  w.optional_string_value(install_root ? std::optional(utf8_lossy(*install_root)) : std::nullopt);
  w.key("install_method");
  w.optional_string_value(install_method ? std::optional(std::string(install_method_text(*install_method)))
                                         : std::nullopt);
  w.key("entrypoint");
  w.optional_string_value(state ? std::optional(utf8_lossy(entrypoint_path(*install_root, state->active)))
                                : std::nullopt);
  w.key("state");
  if (state) {
    write_install_state(*state, w);
  } else {
    w.null_value();
  }
  w.end_object();
  return w.take() + "\n";
}

}  // namespace brindlecast
