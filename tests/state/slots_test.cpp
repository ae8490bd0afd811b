#include "state/slots.hpp"

#include <gtest/gtest.h>

namespace brindlecast {
namespace {

TEST(EntrypointPath, JoinsRootSlotsSlotAndClient) {
  struct Case {
    const char* root;
    const char* slot;
    const char* path;
  };
  const Case cases[] = {
      {"/r", "1.4.0", "/r/slots/1.4.0/brindlecast-client"},
      {"/r/", "1.4.0", "/r/slots/1.4.0/brindlecast-client"},    // no doubled "/"
      {"/r", "", "/r/slots/brindlecast-client"},                // empty slot adds only a "/"
      {"/r", "/opt/client", "/opt/client/brindlecast-client"},  // absolute slot replaces the prefix
      {"/r", "a/", "/r/slots/a/brindlecast-client"},
      {"/r", "../x", "/r/slots/../x/brindlecast-client"},  // never normalised
      {"", "1.4.0", "slots/1.4.0/brindlecast-client"},     // empty root adds nothing
  };
  for (const auto& c : cases) EXPECT_EQ(entrypoint_path(c.root, c.slot), c.path) << c.root << " + " << c.slot;
}

}  // namespace
}  // namespace brindlecast
