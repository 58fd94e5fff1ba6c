#pragma once
// Small private files that are read whole and replaced atomically, so a reader (or the next
// run after a crash) sees either the old contents or the new ones, never a mix.
// Callable from any thread; callers serialise writers of one file themselves.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "base/bytes.h"

namespace quorin {

// Writes `contents` to a temporary file beside `file` with permissions `mode`, flushes it
// to disk and renames it over `file`. On false `file` is untouched and no temporary is left.
// Where `file` is a link, the file the links lead to is the one replaced (made when it is
// missing), and the link stays.
bool writeFileAtomically(const std::filesystem::path& file, ByteView contents, mode_t mode);

// As writeFileAtomically, but never over anything already at `file` (a link included): false
// with errno EEXIST then.
bool writeNewFileAtomically(const std::filesystem::path& file, ByteView contents, mode_t mode);

// The contents of a regular file of at most `maxSize` bytes; nothing when it is missing,
// unreadable, a symbolic link, not a regular file (a FIFO is never waited on) or larger.
std::optional<Bytes> readSmallFile(const std::filesystem::path& file, std::size_t maxSize);

// What readPrivateFile found.
struct PrivateFile {
  enum class State { read, missing, refused };
  State state = State::missing;
  Bytes contents;       // the whole file, when read
  std::string problem;  // when refused: what is wrong, and what to do about it
};

// Reads a file holding secrets whole. It is missing only when nothing at all is at `file`; a
// link is followed. What is read must be a regular file of this user that its owner may read,
// of at most `maxSize` bytes; anything else, and any failure to open or read it (too many
// open files included), is refused. A file that others may read is made 0600 first (logged).
PrivateFile readPrivateFile(const std::filesystem::path& file, std::size_t maxSize);

// Creates `dir` (and missing parents) and makes `dir` itself accessible to its owner only.
bool makePrivateDirectory(const std::filesystem::path& dir);

}  // namespace quorin
