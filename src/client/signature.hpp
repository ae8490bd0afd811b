// Signatures in minisign's format: an archive is installed only if the
// publisher's detached signature holds for the very bytes that are later
// unpacked, and its trusted comment names the version it is installed as.
//
// The key and the signature are parsed strictly (four lines, exact lengths,
// a final newline and \r\n line ends allowed, nothing else) and every check
// is libsodium's: BLAKE2b-512 for the prehashed form ("ED"), Ed25519 for the
// signature and for the global signature over signature || trusted comment.
// copy_verified computes what is checked from the bytes it writes, so a
// source changed meanwhile cannot slip through. Nothing here ever follows a
// link to a signature, blocks on a FIFO, reads more than it bounds, or hands
// an unchecked byte to anyone: a failed check leaves only the caller's copy,
// for the caller to discard. Messages are one line and name the files.
//
// Tests: tests/client/signature_test.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "common/error.hpp"
#include "common/result.hpp"

namespace brindlecast {

struct PublicKey {
  std::array<unsigned char, 8> id;
  std::array<unsigned char, 32> key;
};

// key as the command takes it: the base64 line of a minisign public key, or
// the path of a minisign public-key file (an "untrusted comment:" line, then
// that line). The line is tried first.
Result<PublicKey, Error> load_public_key(const std::string& key);

struct Signature {
  bool prehashed;  // "ED": over the BLAKE2b-512 of the file; "Ed": over the file itself
  std::array<unsigned char, 8> key_id;
  std::array<unsigned char, 64> signature;
  std::string trusted_comment;  // the text after "trusted comment: "
  std::array<unsigned char, 64> global_signature;
  std::string path;  // the .minisig file, for messages
};

// The largest signature file read.
inline constexpr std::size_t kMaxSignatureFileSize = 64 * 1024;

// Reads a .minisig file: a regular file, opened without following a link and
// without blocking, at most kMaxSignatureFileSize bytes.
Result<Signature, Error> load_signature(const std::string& path);

// Whether signature was made with key, by their key ids: checked before
// anything else, as the cheapest refusal.
Result<Done, Error> check_key(const PublicKey& key, const Signature& signature);

// Copies the regular file open as from (size bytes, as fstat said; more or
// fewer is refused as changed) from its start into the new, empty file open
// as to (for reading too: a legacy signature is checked over its mapping),
// hashing the very bytes written. Then checks, in order: the key ids match,
// the signature holds for the copy, the global signature holds, and the
// trusted comment holds the token version:<version> (tokens split on blanks
// and tabs). More than max_bytes is refused before anything is copied.
// shown names the archive in messages; progress gets the bytes copied so
// far. Gives the bytes copied. On failure to holds whatever was written.
Result<std::uint64_t, Error> copy_verified(int from, const std::string& shown, std::uint64_t size, int to,
                                           const PublicKey& key, const Signature& signature,
                                           const std::string& version, std::uint64_t max_bytes,
                                           const std::function<void(std::uint64_t)>& progress);

// The same checks on the regular file open as fd, as it lies, read in large
// blocks from its start. A legacy signature costs the file's size in memory:
// the file is read, never mapped, since whoever may write it could truncate
// a mapping under us.
Result<Done, Error> verify_file(int fd, const std::string& shown, const PublicKey& key,
                                const Signature& signature, const std::string& version);

}  // namespace brindlecast
