// The error value shared by the store, the launch policy and the supervision
// loop: a kind callers can branch on and the one-line message the process
// entry prints. Messages never name a file or an operation.
//
// Tests: the messages of tests/state/store_test.cpp and tests/client/c_api_test.cpp.
#pragma once

#include <string>

namespace brindlecast {

enum class ErrorKind {
  NotFound,          // a file or a directory on its path does not exist
  PermissionDenied,  // the system refused access
  InvalidData,       // a document could not be decoded
  InvalidInput,      // a path or argument the system cannot take
  AlreadyExists,     // a file that must not exist yet does
  Busy,              // another writer kept the install root's lock past the wait
  NotDurable,        // a new state.json is in place but may not survive a power cut
  Stopped,           // a stop signal ended a wait: the program is ending by it
  Other,             // any other failure reported by the system
};

struct Error {
  ErrorKind kind;
  std::string message;
};

// The system's description of errno_value, then " (os error N)".
std::string os_error_text(int errno_value);

// An Error for a failed system call, its kind derived from the number.
Error os_error(int errno_value);

}  // namespace brindlecast
