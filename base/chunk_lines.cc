// Lines of a descriptor through one reused buffer; see chunk_lines.h.
#include "base/chunk_lines.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr size_t kChunk = size_t{1} << 18;
}  // namespace

bool ChunkLines::fill() {
  if (start_ > 0) {
    memmove(buffer_.get(), buffer_.get() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  if (capacity_ - end_ < kChunk / 4) {
    size_t grown = capacity_ == 0 ? kChunk : capacity_ * 2;
    std::unique_ptr<char[]> bigger(new char[grown]);
    if (end_ > 0) memcpy(bigger.get(), buffer_.get(), end_);
    buffer_ = std::move(bigger);
    capacity_ = grown;
  }
  for (;;) {
    ssize_t got = read(fd_, buffer_.get() + end_, capacity_ - end_);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed_ = true;
    if (got <= 0) {
      at_end_ = true;
      return false;
    }
    end_ += static_cast<size_t>(got);
    return true;
  }
}

bool ChunkLines::next(std::string_view& line, bool& ended) {
  for (;;) {
    const char* from = buffer_.get() + start_ + scanned_;
    size_t left = end_ - start_ - scanned_;
    const char* newline = left > 0 ? static_cast<const char*>(memchr(from, '\n', left)) : nullptr;
    if (newline != nullptr) {
      const char* begin = buffer_.get() + start_;
      line = std::string_view(begin, static_cast<size_t>(newline - begin));
      ended = true;
      start_ += line.size() + 1;
      scanned_ = 0;
      return true;
    }
    scanned_ = end_ - start_;
    if (!at_end_ && fill()) continue;
    if (failed_ || end_ == start_) return false;
    // A last line without its "\n".
    line = std::string_view(buffer_.get() + start_, end_ - start_);
    ended = false;
    start_ = end_;
    scanned_ = 0;
    return true;
  }
}
