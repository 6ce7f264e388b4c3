#pragma once

#include <string>

#include "qel/error.hpp"
#include "qel/stream_writer.hpp"
#include "writer/gather_writer.hpp"

namespace qel {

// The file a StreamWriter appends to, written in place: crash safety comes
// from the format (a reader keeps every complete block), not from a rename.
class StreamFile {
 public:
  // Creates `path` with permission bits 0666 before the umask: exclusively,
  // or truncating an existing file when `existing` is replace.
  static Result<StreamFile> create(const std::string& path, ExistingFile existing);

  StreamFile(StreamFile&& other) noexcept;
  StreamFile& operator=(StreamFile&&) = delete;
  StreamFile(const StreamFile&) = delete;
  StreamFile& operator=(const StreamFile&) = delete;
  // Closes the descriptor; whatever is still queued is dropped.
  ~StreamFile();

  GatherWriter& out() noexcept { return out_; }
  // fsync of what was flushed, and the first time of the directory too.
  Status sync();
  Status close();
  // Removes the file when creating it exclusively failed halfway.
  void discard() noexcept;

 private:
  StreamFile(int fd, std::string path) noexcept;

  int fd_;
  std::string path_;
  bool directory_synced_ = false;
  GatherWriter out_;
};

}  // namespace qel
