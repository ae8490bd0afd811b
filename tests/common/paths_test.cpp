#include "common/paths.hpp"

#include <gtest/gtest.h>

namespace brindlecast {
namespace {

TEST(JoinPath, FollowsTheSeparatorRules) {
  struct Case {
    const char* base;
    const char* part;
    const char* joined;
  };
  const Case cases[] = {
      {"/r", "slots", "/r/slots"},
      {"/r/", "slots", "/r/slots"},          // no doubled separator
      {"", "slots", "slots"},                // empty base adds nothing
      {"/r", "", "/r/"},                     // empty part adds a trailing "/"
      {"/r", "/opt/client", "/opt/client"},  // an absolute part replaces the base
      {"/Users/x/", "Library/Application Support", "/Users/x/Library/Application Support"},
      {"a", "b/c", "a/b/c"},
      {"/", "x", "/x"},
  };
  for (const auto& c : cases) EXPECT_EQ(join_path(c.base, c.part), c.joined) << c.base << " + " << c.part;
}

TEST(ParentPath, DropsTheLastComponent) {
  struct Case {
    const char* path;
    std::optional<std::string> parent;
  };
  const Case cases[] = {
      {"/a/b/launcher", "/a/b"},
      {"/a/b/", "/a"},  // a trailing "/" is ignored
      {"/launcher", "/"},
      {"launcher", ""},  // a bare name has the empty parent
      {"a/b", "a"},
      {"a//b", "a"},
      {"/", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parent_path(c.path), c.parent) << c.path;
}

}  // namespace
}  // namespace brindlecast
