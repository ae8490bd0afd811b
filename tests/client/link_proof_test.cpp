// Throwaway: libarchive and libsodium, linked through the library's calls,
// round-trip every format and filter and check a signature. Not for merging.
#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

extern "C" int bc_link_proof(const char* dir);

namespace brindlecast {
namespace {

TEST(LinkProof, ArchivesAndSignaturesWork) {
  testing::TempDir dir;
  EXPECT_EQ(bc_link_proof(dir.path().c_str()), 0);
}

}  // namespace
}  // namespace brindlecast
