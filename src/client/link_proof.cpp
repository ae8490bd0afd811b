// Throwaway: proves that libarchive and libsodium link wherever the
// library's calls go (the shared library, brindlecast-state, a test
// program), for every build. Not for merging.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

constexpr char kText[] = "hello from an archive\n";

// Writes one entry, hello.txt, in the given format and filter.
bool write_one(const std::string& path, bool zip, int filter) {
  archive* a = archive_write_new();
  bool ok =
      (zip ? archive_write_set_format_zip(a) : archive_write_set_format_pax_restricted(a)) == ARCHIVE_OK;
  switch (filter) {
    case 1:
      ok = ok && archive_write_add_filter_gzip(a) == ARCHIVE_OK;
      break;
    case 2:
      ok = ok && archive_write_add_filter_bzip2(a) == ARCHIVE_OK;
      break;
    case 3:
      ok = ok && archive_write_add_filter_xz(a) == ARCHIVE_OK;
      break;
    case 4:
      ok = ok && archive_write_add_filter_zstd(a) == ARCHIVE_OK;
      break;
    default:
      break;
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ok = ok && fd >= 0 && archive_write_open_fd(a, fd) == ARCHIVE_OK;
  archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname_utf8(entry, "hello.txt");
  archive_entry_set_filetype(entry, AE_IFREG);
  archive_entry_set_perm(entry, 0644);
  archive_entry_set_size(entry, sizeof kText - 1);
  ok = ok && archive_write_header(a, entry) == ARCHIVE_OK;
  ok = ok && archive_write_data(a, kText, sizeof kText - 1) == static_cast<la_ssize_t>(sizeof kText - 1);
  archive_entry_free(entry);
  ok = ok && archive_write_close(a) == ARCHIVE_OK;
  archive_write_free(a);
  if (fd >= 0) close(fd);
  return ok;
}

// Reads it back with the formats and filters the library accepts.
bool read_one(const std::string& path) {
  archive* a = archive_read_new();
  archive_read_support_format_tar(a);
  archive_read_support_format_zip(a);
  archive_read_support_filter_gzip(a);
  archive_read_support_filter_bzip2(a);
  archive_read_support_filter_xz(a);
  archive_read_support_filter_zstd(a);
  const int fd = open(path.c_str(), O_RDONLY);
  bool ok = fd >= 0 && archive_read_open_fd(a, fd, 10240) == ARCHIVE_OK;
  archive_entry* entry = nullptr;
  ok = ok && archive_read_next_header(a, &entry) == ARCHIVE_OK;
  const char* name = ok ? archive_entry_pathname_utf8(entry) : nullptr;
  ok = ok && name != nullptr && std::strcmp(name, "hello.txt") == 0;
  std::string data;
  const void* block = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  int status = ARCHIVE_OK;
  while (ok && (status = archive_read_data_block(a, &block, &size, &offset)) == ARCHIVE_OK) {
    data.append(static_cast<const char*>(block), size);
  }
  ok = ok && status == ARCHIVE_EOF && data == kText && archive_read_next_header(a, &entry) == ARCHIVE_EOF;
  archive_read_free(a);
  if (fd >= 0) close(fd);
  return ok;
}

}  // namespace

// The number of checks that failed: each tar filter and zip round trip, then
// BLAKE2b, a detached signature (and a forged one) and base64.
extern "C" int bc_link_proof(const char* dir) {
  int failed = 0;
  const char* names[] = {"plain.tar", "a.tar.gz", "a.tar.bz2", "a.tar.xz", "a.tar.zst"};
  for (int filter = 0; filter < 5; ++filter) {
    const std::string path = std::string(dir) + "/" + names[filter];
    failed += !(write_one(path, false, filter) && read_one(path));
  }
  const std::string zip = std::string(dir) + "/a.zip";
  failed += !(write_one(zip, true, 0) && read_one(zip));

  failed += sodium_init() < 0;
  unsigned char hash[crypto_generichash_BYTES];
  crypto_generichash(hash, sizeof hash, nullptr, 0, nullptr, 0);
  const unsigned char empty_hash[] = {0x0e, 0x57, 0x51, 0xc0, 0x26, 0xe5, 0x43, 0xb2};  // BLAKE2b-256("")
  failed += std::memcmp(hash, empty_hash, sizeof empty_hash) != 0;
  unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES], sig[crypto_sign_BYTES];
  crypto_sign_keypair(pk, sk);
  const unsigned char message[] = "update";
  crypto_sign_detached(sig, nullptr, message, sizeof message, sk);
  failed += crypto_sign_verify_detached(sig, message, sizeof message, pk) != 0;
  sig[0] ^= 1;
  failed += crypto_sign_verify_detached(sig, message, sizeof message, pk) == 0;
  unsigned char decoded[16];
  size_t decoded_size = 0;
  const char base64[] = "aGVsbG8=";
  failed += sodium_base642bin(decoded, sizeof decoded, base64, sizeof base64 - 1, nullptr, &decoded_size,
                              nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
            decoded_size != 5 || std::memcmp(decoded, "hello", 5) != 0;
  return failed;
}
