// A small brindlecast-client for the demo: it says which version started and
// either confirms a good start in state.json and exits 0, or fails with
// status 3 when a file named "broken" lies in its slot directory.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/paths.hpp"
#include "state/store.hpp"

int main(int, char** argv) {
  const std::string slot_dir = brindlecast::parent_path(argv[0]).value_or(".");
  const auto slash = slot_dir.rfind('/');
  const std::string version = slash == std::string::npos ? slot_dir : slot_dir.substr(slash + 1);
  const char* root = std::getenv("BRINDLECAST_INSTALL_ROOT");
  const char* method = std::getenv("BRINDLECAST_INSTALL_METHOD");
  std::printf("    client %s started (install method %s)\n", version.c_str(), method ? method : "none");

  if (access(brindlecast::join_path(slot_dir, "broken").c_str(), F_OK) == 0) {
    std::printf("    client %s fails before it can confirm: exit 3\n", version.c_str());
    return 3;
  }
  const std::string state_path = brindlecast::join_path(root ? root : ".", "state.json");
  auto state = brindlecast::load_state(state_path);
  if (!state) {
    std::fprintf(stderr, "demo client: %s\n", state.error().message.c_str());
    return 1;
  }
  state->started_ok = true;
  if (auto saved = brindlecast::save_state(state_path, *state); !saved) {
    std::fprintf(stderr, "demo client: %s\n", saved.error().message.c_str());
    return 1;
  }
  std::printf("    client %s confirms a good start and exits 0\n", version.c_str());
  return 0;
}
