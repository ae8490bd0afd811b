// parse_launcher_config on arbitrary bytes. Beyond not crashing: a config
// that decodes, written back as an object document (with null members or
// with absent ones, in either layout), decodes to the same config.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "common/utf8.hpp"
#include "json/writer.hpp"
#include "launcher/config.hpp"

using brindlecast::LauncherConfig;
using brindlecast::parse_launcher_config;
using brindlecast::fuzz::fail;
using brindlecast::json::JsonWriter;
using brindlecast::json::Layout;

namespace {

// With `with_nulls`, a field not given is written as null; otherwise it is
// left out. Both must read back as not given.
std::string write_config(const LauncherConfig& config, Layout layout, bool with_nulls) {
  JsonWriter w(layout);
  w.begin_object();
  if (config.install_root || with_nulls) {
    w.key("install_root");
    w.optional_string_value(config.install_root);
  }
  if (config.install_method || with_nulls) {
    w.key("install_method");
    w.optional_string_value(config.install_method);
  }
  w.end_object();
  return w.take();
}

std::string show(const std::optional<std::string>& text) { return text ? "\"" + *text + "\"" : "not given"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto config = parse_launcher_config(input);
  if (!config) return 0;
  // The whole file must be UTF-8, so whatever was accepted came from UTF-8.
  if (!brindlecast::is_valid_utf8(input)) fail("only UTF-8 input is accepted", {{"input", input}});

  for (const auto layout : {Layout::Pretty, Layout::Compact}) {
    for (const bool with_nulls : {true, false}) {
      const std::string written = write_config(*config, layout, with_nulls);
      const auto again = parse_launcher_config(written);
      if (!again) fail("written config decodes", {{"input", input}, {"written", written}});
      if (*again != *config) {
        fail("written config decodes to the same config", {{"input", input},
                                                           {"written", written},
                                                           {"install_root", show(again->install_root)},
                                                           {"install_method", show(again->install_method)}});
      }
    }
  }
  return 0;
}
