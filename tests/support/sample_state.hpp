// The documented example record: slot 1.4.2 on trial after one start.
#pragma once

#include "state/install_state.hpp"

namespace brindlecast::testing {

inline InstallState documented_state() {
  InstallState s;
  s.active = "1.4.2";
  s.known_good = "1.4.1";
  s.channel = "stable";
  s.pending = "1.4.2";
  s.failed_starts = 1;
  s.versions = {{"1.4.2", "1.4.2"}};
  return s;
}

}  // namespace brindlecast::testing
