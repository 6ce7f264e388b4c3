#pragma once

#include <string>

#include "qel/error.hpp"

namespace qel {

// Where a written file lands. A regular file, or one that does not exist yet,
// is replaced as a whole: the bytes go to a new file beside it (created
// exclusively, with the owner and permission bits of the file it replaces,
// else 0666 before the umask), which commit() syncs and renames over it; until
// then the old file stays as it was, and a target dropped without commit
// removes the new file. Symbolic links are followed, so the file they lead to
// is replaced and the links stay. What cannot be renamed over (a FIFO, a
// device), a file whose owner the new one could not have, and a file in a
// directory that takes no new files are written in place.
class FileTarget {
 public:
  static Result<FileTarget> open(const std::string& path);

  FileTarget(FileTarget&& other) noexcept;
  FileTarget& operator=(FileTarget&&) = delete;
  FileTarget(const FileTarget&) = delete;
  FileTarget& operator=(const FileTarget&) = delete;
  ~FileTarget();

  int fd() const noexcept { return fd_; }
  // Whether the bytes go straight into the file at the path.
  bool in_place() const noexcept { return temporary_.empty(); }
  // Ends the write: closes the file and, unless in place, puts it at the path
  // durably (sync, rename, sync of the directory).
  Status commit();

 private:
  FileTarget(int fd, std::string temporary, std::string destination) noexcept;
  // Opens `path` itself for writing, truncated.
  static Result<FileTarget> open_in_place(const std::string& path);
  Status replace();

  int fd_;
  // The new file, and the path it is renamed to; both empty when in place.
  std::string temporary_;
  std::string destination_;
};

}  // namespace qel
