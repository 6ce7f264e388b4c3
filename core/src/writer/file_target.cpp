#include "writer/file_target.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

#include "common/fd_wait.hpp"
#include "qel/cancel.hpp"

namespace qel {
namespace {

// As many links as the kernel follows in one lookup.
constexpr int kMaxLinks = 40;
// The part of the file's name that the new file's name repeats, leaving room
// for its suffix within the longest name a directory takes.
constexpr std::size_t kNameStemBytes = 200;

std::unexpected<Error> os_error(int code) {
  return std::unexpected(Error::io(code));
}

// The directory part of a path with its final slash; empty for none.
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const char* directory_name(const std::string& directory) {
  return directory.empty() ? "." : directory.c_str();
}

// The file `path` leads to once symbolic links are followed; it need not
// exist (a dangling link leads to the file it would name).
Result<std::string> follow_links(std::string path) {
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    if (length < 0) return os_error(errno);
    if (static_cast<std::size_t>(length) == sizeof target) return os_error(ENAMETOOLONG);
    std::string next(target, static_cast<std::size_t>(length));
    path = next.starts_with('/') ? std::move(next) : directory_of(path) + next;
  }
  return os_error(ELOOP);
}

// Creates a new file beside `destination`, named after it and unique in its
// directory; the descriptor, or -1 with errno set.
int create_beside(const std::string& destination, mode_t mode, std::string& name) {
  static std::atomic<unsigned long> created{0};
  const std::string directory = directory_of(destination);
  const std::string stem = destination.substr(directory.size(), kNameStemBytes);
  for (;;) {
    name = directory + "." + stem + "." + std::to_string(::getpid()) + "-" +
           std::to_string(created.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || (errno != EEXIST && errno != EINTR)) return fd;
  }
}

// Whether the new file has, or could be given, the owner and group of the
// old one.
bool keeps_owner(int fd, const struct stat& old) {
  struct stat now;
  if (::fstat(fd, &now) != 0) return false;
  return (now.st_uid == old.st_uid && now.st_gid == old.st_gid) ||
         ::fchown(fd, old.st_uid, old.st_gid) == 0;
}

}  // namespace

Result<FileTarget> FileTarget::open(const std::string& path) {
  QEL_ASSIGN_OR_RETURN(const std::string destination, follow_links(path));
  struct stat old;
  const bool exists = ::stat(destination.c_str(), &old) == 0;
  const bool replaceable = exists ? S_ISREG(old.st_mode) : errno == ENOENT;
  // A path that names no file in a directory ("", "dir/") fails as before.
  if (!replaceable || destination.ends_with('/') || destination.empty()) return open_in_place(path);
  if (exists) {
    // Replacing a file is no way around its permission bits: refused as
    // writing into it would be.
    if (::faccessat(AT_FDCWD, destination.c_str(), W_OK, AT_EACCESS) != 0) return os_error(errno);
  }
  std::string temporary;
  // Private until it has the old file's bits; a new file gets 0666 before the umask.
  const int fd = create_beside(destination, exists ? 0600 : 0666, temporary);
  if (fd < 0) {
    // A directory that takes no new files still lets its files be written.
    if (exists && (errno == EACCES || errno == EPERM)) return open_in_place(path);
    return os_error(errno);
  }
  FileTarget target(fd, std::move(temporary), destination);
  if (!exists) return target;
  // Replacing a file of another owner would take it from them (and a sticky
  // directory would refuse the rename at the end): such a file is written in
  // place, and the new one is dropped.
  if (!keeps_owner(fd, old)) return open_in_place(path);
  if (::fchmod(fd, old.st_mode & 07777) != 0) return os_error(errno);
  return target;
}

// Opened for writing, a FIFO would wait in the kernel for its reader: it is
// opened without blocking, again after each slice of waiting (see fd_wait).
// What is not a regular file is then written without blocking, its waits in
// slices too.
Result<FileTarget> FileTarget::open_in_place(const std::string& path) {
  struct stat info;
  const bool fifo = ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (fifo ? O_NONBLOCK : 0);
  int fd;
  while ((fd = ::open(path.c_str(), flags, 0666)) < 0) {
    if (fifo && errno == ENXIO) {
      QEL_TRY(fd_wait::one_slice());
    } else if (errno == EINTR) {
      QEL_TRY(cancel::after_interrupt());
    } else {
      return os_error(errno);
    }
  }
  FileTarget target(fd, {}, {});
  if (::fstat(fd, &info) != 0) return os_error(errno);
  const int status = ::fcntl(fd, F_GETFL);
  const int wanted = S_ISREG(info.st_mode) ? status & ~O_NONBLOCK : status | O_NONBLOCK;
  if (status < 0 || (wanted != status && ::fcntl(fd, F_SETFL, wanted) != 0)) {
    return os_error(errno);
  }
  return target;
}

FileTarget::FileTarget(int fd, std::string temporary, std::string destination) noexcept
    : fd_(fd), temporary_(std::move(temporary)), destination_(std::move(destination)) {}

FileTarget::FileTarget(FileTarget&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      temporary_(std::exchange(other.temporary_, {})),
      destination_(std::exchange(other.destination_, {})) {}

FileTarget::~FileTarget() {
  if (fd_ >= 0) ::close(fd_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

Status FileTarget::commit() {
  const int fd = std::exchange(fd_, -1);
  if (in_place()) return ::close(fd) == 0 ? Status{} : os_error(errno);
  if (::fsync(fd) != 0) {
    const int code = errno;
    ::close(fd);
    return os_error(code);
  }
  if (::close(fd) != 0) return os_error(errno);
  return replace();
}

// The directory is opened first, so that nothing can fail between the
// rename and its sync but the sync itself.
Status FileTarget::replace() {
  const int directory =
      ::open(directory_name(directory_of(destination_)), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return os_error(errno);
  if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
    const int code = errno;
    ::close(directory);
    return os_error(code);
  }
  temporary_.clear();
  // Some file systems cannot sync a directory (EINVAL); theirs is then as
  // durable as it gets.
  const int synced = ::fsync(directory) == 0 || errno == EINVAL ? 0 : errno;
  ::close(directory);
  return synced == 0 ? Status{} : os_error(synced);
}

}  // namespace qel
