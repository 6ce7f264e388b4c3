#include "writer/output_file.hpp"

#include <utility>

namespace qel {

Result<OutputFile> OutputFile::create(const std::string& path) {
  QEL_ASSIGN_OR_RETURN(FileTarget target, FileTarget::open(path));
  return OutputFile(std::move(target));
}

OutputFile::OutputFile(FileTarget target)
    : target_(std::move(target)), out_(target_.fd(), !target_.in_place()) {}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : target_(std::move(other.target_)), out_(std::move(other.out_)) {}

Status OutputFile::close() {
  QEL_TRY(out_.flush());
  return target_.commit();
}

}  // namespace qel
