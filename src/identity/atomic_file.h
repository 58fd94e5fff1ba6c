#pragma once
// Small private files that are read whole and replaced atomically, so a reader (or the next
// run after a crash) sees either the old contents or the new ones, never a mix.
// Callable from any thread; callers serialise writers of one file themselves.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>

#include "base/bytes.h"

namespace quorin {

// Writes `contents` to a temporary file beside `file` with permissions `mode`, flushes it
// to disk and renames it over `file`. On false `file` is untouched and no temporary is left.
bool writeFileAtomically(const std::filesystem::path& file, ByteView contents, mode_t mode);

// The contents of a regular file of at most `maxSize` bytes; nothing when it is missing,
// unreadable, a symbolic link, not a regular file (a FIFO is never waited on) or larger.
std::optional<Bytes> readSmallFile(const std::filesystem::path& file, std::size_t maxSize);

// readSmallFile for a file holding secrets: nothing as well when another user owns it, and a
// file that others may read is first made 0600. Both are logged.
std::optional<Bytes> readPrivateFile(const std::filesystem::path& file, std::size_t maxSize);

// Creates `dir` (and missing parents) and makes `dir` itself accessible to its owner only.
bool makePrivateDirectory(const std::filesystem::path& dir);

}  // namespace quorin
