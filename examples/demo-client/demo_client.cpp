// A small brindlecast-client for the demo: it says which version started and
// either confirms a good start through the client library and exits 0, or
// fails with status 3 when a file named "broken" lies in its slot directory.
// It uses nothing but the public header, as a client of its own would.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "brindlecast/client.hpp"

int main(int, char** argv) {
  const std::string self = argv[0];
  const auto slash = self.rfind('/');
  const std::string slot_dir = slash == std::string::npos ? "." : self.substr(0, slash);
  const auto dir_slash = slot_dir.rfind('/');
  const std::string version = dir_slash == std::string::npos ? slot_dir : slot_dir.substr(dir_slash + 1);
  const char* method = std::getenv("BRINDLECAST_INSTALL_METHOD");
  std::printf("    client %s started (install method %s)\n", version.c_str(), method ? method : "none");

  if (access((slot_dir + "/broken").c_str(), F_OK) == 0) {
    std::printf("    client %s fails before it can confirm: exit 3\n", version.c_str());
    return 3;
  }
  // The install root comes from BRINDLECAST_INSTALL_ROOT, set by the launcher;
  // the client names itself by the path the launcher started it as.
  if (auto confirmed = brindlecast::client::confirm_start(self); !confirmed) {
    std::fprintf(stderr, "demo client: %s\n", confirmed.message.c_str());
    return 1;
  }
  std::printf("    client %s confirms a good start and exits 0\n", version.c_str());
  return 0;
}
