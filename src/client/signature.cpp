#include "client/signature.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "client/locked_state.hpp"
#include "common/fd.hpp"
#include "common/file.hpp"
#include "common/utf8.hpp"

namespace brindlecast {
namespace {

constexpr std::string_view kUntrusted = "untrusted comment: ";
constexpr std::string_view kTrusted = "trusted comment: ";
// Large enough that the calls cost nothing beside the hash.
constexpr std::size_t kBlockSize = 1024 * 1024;
// The most verify_file holds in memory for a legacy signature, which covers
// the whole file rather than its hash.
constexpr std::uint64_t kMaxLegacySize = 1024 * 1024 * 1024;

Result<Done, Error> sodium_ready() {
  static const bool ready = ::sodium_init() >= 0;
  if (!ready) return Err(Error{ErrorKind::Other, "cannot check signatures: libsodium did not start"});
  return Done{};
}

// Built in steps: GCC 12 at -O3 takes "\"" + text + "\"" for an overlapping copy.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  out += utf8_lossy(text);
  out += '"';
  return out;
}

Error invalid(std::string message) { return Error{ErrorKind::InvalidInput, std::move(message)}; }

// As minisign shows a key id: its bytes as a little-endian number, in
// uppercase hex without leading zeros.
std::string key_id_text(const std::array<unsigned char, 8>& id) {
  std::uint64_t n = 0;
  for (std::size_t i = id.size(); i-- > 0;) n = n << 8 | id[i];
  char text[17];
  std::snprintf(text, sizeof text, "%" PRIX64, n);
  return text;
}

// Whether text is exactly the base64 (original alphabet, padded) of out's size.
template <std::size_t N>
bool decode(std::string_view text, std::array<unsigned char, N>& out) {
  std::size_t length = 0;
  const char* end = nullptr;
  return ::sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
         length == N && end == text.data() + text.size();
}

// The lines of a small text file: each may end in \n or \r\n, the last also
// in nothing; no control character but a tab. Empty with why set otherwise.
std::vector<std::string_view> lines_of(std::string_view text, std::string& why) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    for (const char c : line) {
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) {
        why = "line " + std::to_string(lines.size() + 1) + " holds a control character";
        return {};
      }
    }
    lines.push_back(line);
  }
  return lines;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A small regular file read whole, opened without blocking and, unless
// follow, without following a link. name says what it is in messages.
// open_errno is the open's error, 0 when it opened.
Result<std::string, Error> read_small(const std::string& path, bool follow, const std::string& name,
                                      int& open_errno) {
  const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  // A name with a NUL in it names no file.
  const bool nul = path.find('\0') != std::string::npos;
  Fd fd(nul ? -1 : retry_eintr([&] { return ::open(path.c_str(), flags); }));
  open_errno = fd.get() >= 0 ? 0 : nul ? ENOENT : errno;
  if (open_errno == ELOOP && !follow) return Err(invalid(name + " is a symbolic link; name the file itself"));
  if (open_errno != 0) return Err(with_context("cannot open " + name, os_error(open_errno)));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Err(with_context("cannot read " + name, os_error(errno)));
  if (!S_ISREG(st.st_mode)) return Err(invalid(name + " is not a regular file"));
  std::string text(kMaxSignatureFileSize + 1, '\0');
  std::size_t got = 0;
  for (ssize_t n = 1; n > 0 && got < text.size(); got += static_cast<std::size_t>(n)) {
    n = retry_eintr([&] { return ::read(fd.get(), text.data() + got, text.size() - got); });
    if (n < 0) return Err(with_context("cannot read " + name, os_error(errno)));
  }
  if (got > kMaxSignatureFileSize) {
    return Err(invalid(name + " is larger than " + std::to_string(kMaxSignatureFileSize / 1024) + " KiB"));
  }
  text.resize(got);
  return text;
}

// The 42 bytes of a public key line: "Ed", the key id, the key.
std::optional<PublicKey> parse_key(std::string_view line) {
  std::array<unsigned char, 42> bytes{};
  if (!decode(line, bytes) || bytes[0] != 'E' || bytes[1] != 'd') return std::nullopt;
  PublicKey key{};
  std::copy(bytes.begin() + 2, bytes.begin() + 10, key.id.begin());
  std::copy(bytes.begin() + 10, bytes.end(), key.key.begin());
  return key;
}

Error changed(const std::string& shown) {
  return invalid("archive " + quoted(shown) + " changed while it was read");
}

// Hands the regular file open as fd, from its start, to take in blocks, and
// refuses it unless it holds exactly size bytes.
template <class Take>
Result<Done, Error> read_blocks(int fd, const std::string& shown, std::uint64_t size, Take take) {
  const std::unique_ptr<unsigned char[]> block(new unsigned char[kBlockSize]);
  std::uint64_t offset = 0;
  for (;;) {
    const ssize_t n =
        retry_eintr([&] { return ::pread(fd, block.get(), kBlockSize, static_cast<off_t>(offset)); });
    if (n < 0) return Err(with_context("cannot read " + quoted(shown), os_error(errno)));
    if (n == 0) break;
    offset += static_cast<std::uint64_t>(n);
    if (offset > size) return Err(changed(shown));
    if (auto taken = take(block.get(), static_cast<std::size_t>(n)); !taken) return taken;
  }
  if (offset != size) return Err(changed(shown));
  return Done{};
}

// BLAKE2b-512, as minisign prehashes.
class Prehash {
 public:
  Prehash() { ::crypto_generichash_init(&state_, nullptr, 0, crypto_generichash_BYTES_MAX); }
  void add(const unsigned char* data, std::size_t size) { ::crypto_generichash_update(&state_, data, size); }
  std::array<unsigned char, crypto_generichash_BYTES_MAX> digest() {
    std::array<unsigned char, crypto_generichash_BYTES_MAX> out{};
    ::crypto_generichash_final(&state_, out.data(), out.size());
    return out;
  }

 private:
  crypto_generichash_state state_;
};

// Whether tokens, split on blanks and tabs, hold word.
bool has_token(std::string_view tokens, std::string_view word) {
  for (;;) {
    const std::size_t end = tokens.find_first_of(" \t");
    if (tokens.substr(0, end) == word) return true;
    if (end == std::string_view::npos) return false;
    tokens.remove_prefix(end + 1);
  }
}

// What follows the content: that message (the file or its prehash) is the
// one signed, then the global signature, then the version it names.
Result<Done, Error> check_rest(const unsigned char* message, std::size_t length, const std::string& shown,
                               const PublicKey& key, const Signature& signature, const std::string& version) {
  if (::crypto_sign_verify_detached(signature.signature.data(), message, length, key.key.data()) != 0) {
    return Err(invalid("signature " + quoted(signature.path) + " does not hold for " + quoted(shown) +
                       ": the archive or its signature was changed"));
  }
  std::string global(signature.signature.begin(), signature.signature.end());
  global += signature.trusted_comment;
  if (::crypto_sign_verify_detached(signature.global_signature.data(),
                                    reinterpret_cast<const unsigned char*>(global.data()), global.size(),
                                    key.key.data()) != 0) {
    return Err(
        invalid("the trusted comment of " + quoted(signature.path) + " was changed after it was signed"));
  }
  if (!has_token(signature.trusted_comment, "version:" + version)) {
    return Err(invalid("the trusted comment of " + quoted(signature.path) + " (" +
                       quoted(signature.trusted_comment) + ") does not say version:" + utf8_lossy(version) +
                       ": a signed archive installs only as the version it was signed for"));
  }
  return Done{};
}

}  // namespace

Result<Done, Error> check_key(const PublicKey& key, const Signature& signature) {
  if (signature.key_id == key.id) return Done{};
  return Err(invalid("signature " + quoted(signature.path) + " was made with key " +
                     key_id_text(signature.key_id) + ", not with the key given (" + key_id_text(key.id) +
                     ")"));
}

Result<PublicKey, Error> load_public_key(const std::string& key) {
  if (auto ready = sodium_ready(); !ready) return ready.forward();
  if (auto parsed = parse_key(key)) return *parsed;
  const std::string name = "public key file " + quoted(key);
  int open_errno = 0;
  auto text = read_small(key, true, name, open_errno);
  if (open_errno == ENOENT || open_errno == ENOTDIR || open_errno == ENAMETOOLONG) {
    return Err(
        invalid("public key " + quoted(key) + " is neither a minisign public key nor a file holding one"));
  }
  if (!text) return text.forward();
  std::string why;
  const auto lines = lines_of(*text, why);
  std::optional<PublicKey> parsed;
  if (lines.size() == 2 && starts_with(lines[0], kUntrusted)) parsed = parse_key(lines[1]);
  if (!parsed) {
    if (why.empty()) why = "it is not an \"untrusted comment:\" line, then the key's base64 line";
    return Err(invalid(name + " does not hold a minisign public key: " + why));
  }
  return *parsed;
}

Result<Signature, Error> load_signature(const std::string& path) {
  if (auto ready = sodium_ready(); !ready) return ready.forward();
  int open_errno = 0;
  auto text = read_small(path, false, "signature " + quoted(path), open_errno);
  if (!text) return text.forward();
  const auto bad = [&](const std::string& why) {
    return Err(invalid("signature " + quoted(path) + " is not a minisign signature: " + why));
  };
  std::string why;
  const auto lines = lines_of(*text, why);
  if (!why.empty()) return bad(why);
  if (lines.size() != 4) return bad("it has " + std::to_string(lines.size()) + " lines, not 4");
  if (!starts_with(lines[0], kUntrusted)) return bad("line 1 does not begin \"untrusted comment: \"");
  std::array<unsigned char, 74> head{};
  if (!decode(lines[1], head)) return bad("line 2 is not the base64 of 74 bytes");
  if (head[0] != 'E' || (head[1] != 'D' && head[1] != 'd')) {
    return bad("line 2 names an algorithm other than ED (prehashed) and Ed (legacy)");
  }
  if (!starts_with(lines[2], kTrusted)) return bad("line 3 does not begin \"trusted comment: \"");
  Signature signature{};
  if (!decode(lines[3], signature.global_signature)) return bad("line 4 is not the base64 of 64 bytes");
  signature.prehashed = head[1] == 'D';
  std::copy(head.begin() + 2, head.begin() + 10, signature.key_id.begin());
  std::copy(head.begin() + 10, head.end(), signature.signature.begin());
  signature.trusted_comment = std::string(lines[2].substr(kTrusted.size()));
  signature.path = path;
  return signature;
}

Result<std::uint64_t, Error> copy_verified(int from, const std::string& shown, std::uint64_t size, int to,
                                           const PublicKey& key, const Signature& signature,
                                           const std::string& version, std::uint64_t max_bytes,
                                           const std::function<void(std::uint64_t)>& progress) {
  if (auto ready = sodium_ready(); !ready) return ready.forward();
  if (auto same = check_key(key, signature); !same) return same.forward();
  if (size > max_bytes) {
    return Err(invalid("archive " + quoted(shown) + " holds " + std::to_string(size) +
                       " bytes, more than the " + std::to_string(max_bytes) + " an install takes"));
  }
  Prehash prehash;
  std::uint64_t copied = 0;
  auto read =
      read_blocks(from, shown, size, [&](const unsigned char* data, std::size_t n) -> Result<Done, Error> {
        auto written = write_all(to, std::string_view(reinterpret_cast<const char*>(data), n));
        if (!written) {
          return Err(with_context("cannot write the copy of " + quoted(shown), std::move(written).error()));
        }
        if (signature.prehashed) prehash.add(data, n);
        copied += n;
        if (progress) progress(copied);
        return Done{};
      });
  if (!read) return read.forward();
  if (signature.prehashed) {
    const auto digest = prehash.digest();
    auto checked = check_rest(digest.data(), digest.size(), shown, key, signature, version);
    return checked ? Result<std::uint64_t, Error>(copied) : checked.forward();
  }
  // The legacy form signs the whole file: checked over a mapping of the
  // copy, which nobody else can write, so that it cannot be cut short.
  void* map = nullptr;
  if (size > 0) {
    map = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, to, 0);
    if (map == MAP_FAILED) {
      return Err(with_context("cannot read the copy of " + quoted(shown), os_error(errno)));
    }
  }
  auto checked = check_rest(static_cast<const unsigned char*>(map), static_cast<std::size_t>(size), shown,
                            key, signature, version);
  if (map != nullptr) ::munmap(map, static_cast<std::size_t>(size));
  return checked ? Result<std::uint64_t, Error>(copied) : checked.forward();
}

Result<Done, Error> verify_file(int fd, const std::string& shown, const PublicKey& key,
                                const Signature& signature, const std::string& version) {
  if (auto ready = sodium_ready(); !ready) return ready.forward();
  if (auto same = check_key(key, signature); !same) return same;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Err(with_context("cannot read " + quoted(shown), os_error(errno)));
  if (!S_ISREG(st.st_mode)) return Err(invalid("archive " + quoted(shown) + " is not a regular file"));
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (!signature.prehashed && size > kMaxLegacySize) {
    return Err(invalid("archive " + quoted(shown) + " is too large to check with a legacy (Ed) signature " +
                       quoted(signature.path) + ": sign it prehashed, as minisign does by default"));
  }
  Prehash prehash;
  // Allocated without throwing: what cannot be had is refused.
  std::unique_ptr<unsigned char[]> content;
  if (!signature.prehashed && size > 0) {
    content.reset(new (std::nothrow) unsigned char[static_cast<std::size_t>(size)]);
    if (!content) return Err(with_context("cannot read " + quoted(shown), os_error(ENOMEM)));
  }
  std::size_t held = 0;
  auto read =
      read_blocks(fd, shown, size, [&](const unsigned char* data, std::size_t n) -> Result<Done, Error> {
        if (signature.prehashed) {
          prehash.add(data, n);
        } else {
          std::memcpy(content.get() + held, data, n);  // read_blocks never goes past size
          held += n;
        }
        return Done{};
      });
  if (!read) return read;
  if (!signature.prehashed) return check_rest(content.get(), held, shown, key, signature, version);
  const auto digest = prehash.digest();
  return check_rest(digest.data(), digest.size(), shown, key, signature, version);
}

}  // namespace brindlecast
