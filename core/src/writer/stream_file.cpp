#include "writer/stream_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace qel {
namespace {

Error io_error_at(std::string_view action, const std::string& path, int error) {
  return Error::io_message(std::string(action) + " " + quoted(path) + ": " +
                           std::generic_category().message(error) + " (os error " +
                           std::to_string(error) + ")");
}

// Descriptors of special files (a pipe, /dev/null) cannot be synchronised,
// and there is nothing to make durable in them.
Status fsync_fd(int fd) {
  if (::fsync(fd) == 0 || errno == EINVAL || errno == EROFS) return {};
  return std::unexpected(Error::io(errno));
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Result<StreamFile> StreamFile::create(const std::string& path, ExistingFile existing) {
  const int mode = existing == ExistingFile::refuse ? O_EXCL : O_TRUNC;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0666);
  if (fd < 0) return std::unexpected(io_error_at("cannot create", path, errno));
  return StreamFile(fd, path);
}

StreamFile::StreamFile(int fd, std::string path) noexcept
    : fd_(fd), path_(std::move(path)), out_(fd) {}

StreamFile::StreamFile(StreamFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      directory_synced_(other.directory_synced_),
      out_(std::move(other.out_)) {}

StreamFile::~StreamFile() {
  if (fd_ >= 0) ::close(fd_);
}

Status StreamFile::sync() {
  QEL_TRY(fsync_fd(fd_));
  if (directory_synced_) return {};
  const int directory = ::open(directory_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0)
    return std::unexpected(io_error_at("cannot open the directory of", path_, errno));
  Status synced = fsync_fd(directory);
  ::close(directory);
  directory_synced_ = static_cast<bool>(synced);
  return synced;
}

Status StreamFile::close() {
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) return std::unexpected(Error::io(errno));
  return {};
}

void StreamFile::discard() noexcept {
  (void)::unlink(path_.c_str());
}

}  // namespace qel
