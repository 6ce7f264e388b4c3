#include "index/source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "container/compression.hpp"
#include "qel/cancel.hpp"

namespace qel {
namespace {

class SharedPlain final : public ByteSource {
 public:
  std::uint64_t size() const noexcept { return file_->size(); }
  explicit SharedPlain(std::shared_ptr<const PlainFile> file) noexcept : file_(std::move(file)) {}
  Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override {
    return file_->read_at(offset, out);
  }

 private:
  std::shared_ptr<const PlainFile> file_;
};

// The file inflated from its start, forwards only: a read behind the last one
// starts over.
class Inflated final : public ByteSource {
 public:
  explicit Inflated(std::shared_ptr<const PlainFile> file) : file_(std::move(file)) {}

  Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override {
    if (!input_ || offset < position_) QEL_TRY(restart());
    QEL_ASSIGN_OR_RETURN(const std::uint64_t dropped, input_->discard(offset - position_));
    position_ += dropped;
    if (position_ < offset) return 0;
    QEL_ASSIGN_OR_RETURN(const std::size_t got, read_full(*input_, out));
    position_ += got;
    return got;
  }

 private:
  Status restart() {
    std::vector<PlanItem> whole{PlanItem{0, file_.size(), {}}};
    QEL_ASSIGN_OR_RETURN(MaybeCompressed wrapped,
                         detect_and_wrap(std::make_unique<PlanStream>(file_, std::move(whole))));
    input_ = std::make_unique<BufferedInput>(std::move(wrapped.input));
    position_ = 0;
    return {};
  }

  SharedPlain file_;
  std::unique_ptr<BufferedInput> input_;
  std::uint64_t position_ = 0;
};

}  // namespace

// Without blocking: a FIFO would wait for a writer here, and only a regular
// file can be read by position.
Result<std::shared_ptr<const PlainFile>> PlainFile::open(const std::string& path) {
  int fd;
  while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) < 0) {
    if (errno != EINTR) return std::unexpected(Error::io(errno));
    QEL_TRY(cancel::after_interrupt());
  }
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return std::unexpected(Error::io(error));
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::unexpected(Error::io_message("not a regular file"));
  }
  return std::shared_ptr<const PlainFile>(
      new PlainFile(fd, static_cast<std::uint64_t>(info.st_size)));
}

PlainFile::~PlainFile() {
  ::close(fd_);
}

Result<std::size_t> PlainFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t got =
        ::pread(fd_, out.data() + filled, out.size() - filled, static_cast<off_t>(offset + filled));
    if (got == 0) break;
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
      continue;
    }
    if (errno != EINTR) return std::unexpected(Error::io(errno));
    QEL_TRY(cancel::after_interrupt());
  }
  return filled;
}

Result<std::unique_ptr<ByteSource>> open_source(std::shared_ptr<const PlainFile> file,
                                                bool compressed) {
  if (compressed) return std::make_unique<Inflated>(std::move(file));
  return std::make_unique<SharedPlain>(std::move(file));
}

Result<std::size_t> PlanStream::read(std::span<std::uint8_t> out) {
  while (item_ < items_.size() && done_ == items_[item_].size) {
    ++item_;
    done_ = 0;
  }
  if (item_ == items_.size() || out.empty()) return 0;
  const PlanItem& item = items_[item_];
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), item.size - done_));
  if (item.bytes) {
    std::memcpy(out.data(), item.bytes->data() + done_, n);
    done_ += n;
    return n;
  }
  QEL_ASSIGN_OR_RETURN(const std::size_t got, source_.read_at(item.offset + done_, out.first(n)));
  // The file shrank since it was indexed: its stream ends here.
  if (got < n) item_ = items_.size();
  done_ += got;
  return got;
}

}  // namespace qel
