#pragma once

#include <string>

#include "qel/error.hpp"
#include "writer/file_target.hpp"
#include "writer/gather_writer.hpp"

namespace qel {

// A file created for writing, its output gathered (see GatherWriter). The
// file lands at its path only when close() succeeds (see FileTarget).
class OutputFile {
 public:
  static Result<OutputFile> create(const std::string& path);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Without a successful close() the write failed: what is pending is
  // dropped, and the path keeps what it had.
  ~OutputFile() = default;

  // Bytes borrowed by it must stay alive and unchanged until close() or the
  // destructor.
  GatherWriter& out() noexcept { return out_; }
  // Writes out everything pending and puts the file at its path, reporting
  // any failure.
  Status close();

 private:
  explicit OutputFile(FileTarget target);

  FileTarget target_;
  GatherWriter out_;
};

}  // namespace qel
