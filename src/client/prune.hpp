// prune: removes the slots nothing can start, and nothing else. How it
// decides, and how its deletion never leaves a slot, is told in prune.cpp.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/result.hpp"

namespace brindlecast {

// How the names of the slots a prune is deleting begin, in slots/.
inline constexpr std::string_view kPruneHiddenPrefix = ".brindlecast-prune-";

// Removes every slot (a directory, or a symbolic link) in slots/ that the
// launcher cannot reach through active, known_good or pending, compared by
// device and inode along the way the system resolves those names, link by
// link; other files, and names beginning with ".", stay. A slot that changed
// (its ctime or mtime; a link's own) less than min_age ago stays too: young
// is called with it and its age. removed is called with each slot, in byte
// order, once it is gone; with dry_run nothing changes and it is called with
// each slot that would go, decided alike. The lock is held only to decide,
// drop the removed slots' versions entries and move them to hidden names; the
// deletion runs after it. A slot holding another file system is left whole
// and reported; refuses to act when state.json cannot be read.
Result<Done, Error> prune_slots(const std::string& install_root, bool dry_run, std::chrono::seconds min_age,
                                const std::function<void(const std::string&)>& removed,
                                const std::function<void(const std::string&, std::chrono::seconds)>& young);

}  // namespace brindlecast
