// parse_install_state on arbitrary bytes. Beyond not crashing: every record
// that decodes survives being written in either layout and read back, and
// its text is stable once normalised, wherever the versions map has no
// order to vary.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check.hpp"
#include "common/utf8.hpp"
#include "state/install_state.hpp"

using brindlecast::InstallState;
using brindlecast::parse_install_state;
using brindlecast::write_install_state;
using brindlecast::fuzz::fail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto decoded = parse_install_state(input);
  if (!decoded) return 0;
  const InstallState& state = *decoded;

  for (const auto layout : {brindlecast::json::Layout::Pretty, brindlecast::json::Layout::Compact}) {
    const std::string layout_name = layout == brindlecast::json::Layout::Pretty ? "pretty" : "compact";
    const std::string written = write_install_state(state, layout);
    if (written.empty() || written.back() != '}') {
      fail("written state ends with its closing brace (" + layout_name + ")",
           {{"input", input}, {"written", written}});
    }
    if (!brindlecast::is_valid_utf8(written)) {
      fail("written state is UTF-8 (" + layout_name + ")", {{"input", input}, {"written", written}});
    }
    const auto again = parse_install_state(written);
    if (!again) {
      fail("written state decodes (" + layout_name + ")",
           {{"input", input}, {"written", written}, {"error", again.error().full_text()}});
    }
    if (*again != state) {
      fail("written state decodes to an equal record (" + layout_name + ")",
           {{"input", input}, {"written", written}, {"rewritten", write_install_state(*again, layout)}});
    }
    // With two or more versions the map's iteration order may differ, so
    // only then may the bytes differ.
    if (again->versions.size() <= 1) {
      const std::string rewritten = write_install_state(*again, layout);
      if (rewritten != written) {
        fail("writing the decoded record gives the same bytes (" + layout_name + ")",
             {{"input", input}, {"written", written}, {"rewritten", rewritten}});
      }
    }
  }
  return 0;
}
