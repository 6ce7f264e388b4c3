#include "container/buffered_input.hpp"

#include <algorithm>

namespace qel {

std::size_t BufferedInput::copy_out(std::span<std::uint8_t> out) noexcept {
  const std::size_t n = std::min(out.size(), end_ - begin_);
  if (n > 0) std::memcpy(out.data(), window_.data() + begin_, n);
  begin_ += n;
  return n;
}

Result<std::size_t> BufferedInput::pull(std::span<std::uint8_t> out) {
  QEL_ASSIGN_OR_RETURN(const std::size_t got, stream_->read(out));
  QEL_TRY(checkpoints_.advance(got));
  return got;
}

Status BufferedInput::fill(std::size_t n) {
  if (begin_ > 0) {
    std::memmove(window_.data(), window_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ < n) {
    QEL_ASSIGN_OR_RETURN(const std::size_t got, pull(std::span(window_).subspan(end_)));
    if (got == 0) break;
    end_ += got;
  }
  return {};
}

Result<std::size_t> BufferedInput::read_through(std::span<std::uint8_t> out) {
  std::size_t filled = copy_out(out);
  if (out.size() - filled >= kWindowBytes) {
    // In steps, so that one large block still passes its checkpoints.
    while (filled < out.size()) {
      const std::size_t step =
          std::min<std::uint64_t>(out.size() - filled, cancel::kCheckpointBytes);
      QEL_ASSIGN_OR_RETURN(const std::size_t got, pull(out.subspan(filled, step)));
      if (got == 0) break;
      filled += got;
    }
    return filled;
  }
  const auto rest = out.subspan(filled);
  QEL_TRY(fill(rest.size()));
  return filled + copy_out(rest);
}

Result<std::span<const std::uint8_t>> BufferedInput::take(std::size_t n) {
  n = std::min(n, kWindowBytes);
  if (end_ - begin_ < n) QEL_TRY(fill(n));
  const std::size_t got = std::min(n, end_ - begin_);
  const auto view = std::span<const std::uint8_t>(window_).subspan(begin_, got);
  begin_ += got;
  return view;
}

Result<std::span<const std::uint8_t>> BufferedInput::peek(std::size_t n) {
  n = std::min(n, kWindowBytes);
  if (end_ - begin_ < n) QEL_TRY(fill(n));
  return std::span<const std::uint8_t>(window_).subspan(begin_, std::min(n, end_ - begin_));
}

Result<std::uint64_t> BufferedInput::discard(std::uint64_t count) {
  const std::size_t buffered = std::min<std::uint64_t>(count, end_ - begin_);
  begin_ += buffered;
  std::uint64_t dropped = buffered;
  while (dropped < count) {
    const std::uint64_t step = std::min(count - dropped, cancel::kCheckpointBytes);
    QEL_ASSIGN_OR_RETURN(const std::uint64_t got, qel::discard(*stream_, step));
    dropped += got;
    QEL_TRY(checkpoints_.advance(got));
    if (got < step) break;
  }
  return dropped;
}

}  // namespace qel
