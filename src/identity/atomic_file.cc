#include "identity/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "base/log.h"

namespace quorin {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, reporting the error a deferred write may surface only here.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool writeAll(int fd, ByteView bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool writeAndSync(FileDescriptor& fd, ByteView contents, mode_t mode) {
  return ::fchmod(fd.get(), mode) == 0 && writeAll(fd.get(), contents) &&
         ::fsync(fd.get()) == 0 && fd.close();
}

// Writes a temporary beside `file` and renames it to `file` with renameat2 `flags`. On
// false errno tells why.
bool placeAtomically(const std::filesystem::path& file, ByteView contents, mode_t mode, unsigned flags) {
  const std::filesystem::path dir = file.parent_path().empty() ? "." : file.parent_path();
  std::string temporary = (dir / ("." + file.filename().string() + ".XXXXXX")).string();
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  if (!writeAndSync(fd, contents, mode) ||
      ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, file.c_str(), flags) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    return false;
  }
  // The rename itself reaches the disk only with the folder; the new contents are already
  // complete, so a failure here cannot expose a partial file.
  FileDescriptor folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) ::fsync(folder.get());
  return true;
}

// Where the chain of links at `file` ends, which may not exist yet; `file` itself when it is
// no link. Nothing for a loop or a link that cannot be read.
std::optional<std::filesystem::path> endOfLinks(std::filesystem::path file) {
  constexpr int kMaxLinks = 40;  // as the kernel allows in one path
  struct stat entry {};
  for (int links = 0; ::lstat(file.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode); ++links) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(file, error);
    if (error || links == kMaxLinks) return std::nullopt;
    file = target.is_absolute() ? target : file.parent_path() / target;
  }
  return file;
}

}  // namespace

bool writeFileAtomically(const std::filesystem::path& file, ByteView contents, mode_t mode) {
  const auto target = endOfLinks(file);
  return target && placeAtomically(*target, contents, mode, 0);
}

bool writeNewFileAtomically(const std::filesystem::path& file, ByteView contents, mode_t mode) {
  return placeAtomically(file, contents, mode, RENAME_NOREPLACE);
}

namespace {

// Opens without following a link and without blocking on a FIFO or device, then checks that
// what was opened is a regular file no larger than `maxSize`.
FileDescriptor openSmallFile(const std::filesystem::path& file, std::size_t maxSize,
                             struct stat& info) {
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::size_t>(info.st_size) > maxSize) {
    return FileDescriptor(-1);
  }
  return fd;
}

std::optional<Bytes> readAll(const FileDescriptor& fd, const struct stat& info) {
  Bytes contents(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = ::read(fd.get(), contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;  // shrank while being read
    done += static_cast<std::size_t>(n);
  }
  contents.resize(done);
  return contents;
}

}  // namespace

std::optional<Bytes> readSmallFile(const std::filesystem::path& file, std::size_t maxSize) {
  struct stat info {};
  const FileDescriptor fd = openSmallFile(file, maxSize, info);
  if (!fd.valid()) return std::nullopt;
  return readAll(fd, info);
}

namespace {

PrivateFile refused(std::string problem) {
  return {PrivateFile::State::refused, {}, std::move(problem)};
}

std::string openProblem(const std::string& name, int error, bool isLink) {
  if (error == ENOENT && isLink) {
    return name + " is a link to a file that does not exist (is its drive mounted?); make the "
                  "link point at the key file";
  }
  if (error == EACCES) return name + " may not be read (" + std::strerror(error) + "); run chmod 600 " + name;
  if (error == EMFILE || error == ENFILE) {
    return name + " could not be opened: too many files are open (" + std::strerror(error) +
           "); close some programs or raise the limit (ulimit -n)";
  }
  return name + " could not be opened (" + std::strerror(error) + ")";
}

}  // namespace

PrivateFile readPrivateFile(const std::filesystem::path& file, std::size_t maxSize) {
  const std::string name = file.string();
  struct stat entry {};
  if (::lstat(file.c_str(), &entry) != 0) {
    if (errno == ENOENT) return {};
    return refused(name + " could not be examined (" + std::strerror(errno) + ")");
  }
  const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return refused(openProblem(name, errno, S_ISLNK(entry.st_mode)));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return refused(name + " could not be examined (" + std::strerror(errno) + ")");
  if (S_ISDIR(info.st_mode)) return refused(name + " is a folder, not a file; move it out of the way");
  if (!S_ISREG(info.st_mode)) return refused(name + " is not a regular file; move it out of the way");
  if (info.st_uid != ::geteuid()) {
    return refused(name + " belongs to another user (uid " + std::to_string(info.st_uid) +
                   "); make it yours with chown, or move it out of the way");
  }
  if ((info.st_mode & S_IRUSR) == 0) return refused(name + " may not be read by its owner; run chmod 600 " + name);
  if (static_cast<std::size_t>(info.st_size) > maxSize) {
    return refused(name + " holds " + std::to_string(info.st_size) + " bytes, more than a key store ever does (" +
                   std::to_string(maxSize) + "); move it out of the way");
  }
  if ((info.st_mode & 077) != 0) {
    if (::fchmod(fd.get(), 0600) != 0) {
      return refused(name + " may be read by others and could not be made private; run chmod 600 " + name);
    }
    logLine(name + " was readable by others; its mode is now 0600");
  }
  auto contents = readAll(fd, info);
  if (!contents) return refused(name + " could not be read (" + std::strerror(errno) + ")");
  return {PrivateFile::State::read, std::move(*contents), {}};
}

bool makePrivateDirectory(const std::filesystem::path& dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) return false;
  return ::chmod(dir.c_str(), 0700) == 0;
}

}  // namespace quorin
