#include "util/fd_io.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

ssize_t read_some(int fd, char* out, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

int write_fully(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

int read_to_end(int fd, std::string& out, std::size_t limit) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read_some(fd, buffer, sizeof buffer);
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (out.size() + static_cast<std::size_t>(n) > limit) return EFBIG;
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

LineReader::LineReader(int fd, std::size_t max_line, std::size_t buffer_size)
    : fd_(fd), max_line_(max_line), capacity_(buffer_size), buffer_(new char[buffer_size]) {}

LineReader::Fill LineReader::fill() {
  begin_ = end_ = 0;
  ssize_t n = read_some(fd_, buffer_.get(), capacity_);
  if (n < 0) return Fill::Error;
  if (n == 0) return Fill::End;
  end_ = static_cast<std::size_t>(n);
  return Fill::Data;
}

LineReader::Got LineReader::next(std::string_view& line) {
  pending_.clear();
  bool too_long = false;
  for (;;) {
    if (begin_ == end_) {
      Fill got = fill();
      if (got == Fill::Error) return Got::Error;
      if (got == Fill::End) {
        skipping_ = false;
        // The end of the stream inside a line ends that line.
        if (pending_.empty()) return Got::End;
        line = pending_;
        return too_long ? Got::TooLong : Got::Line;
      }
    }
    const char* start = buffer_.get() + begin_;
    std::size_t available = end_ - begin_;
    const char* newline = static_cast<const char*>(std::memchr(start, '\n', available));
    std::size_t take = newline != nullptr ? static_cast<std::size_t>(newline - start) : available;
    begin_ += newline != nullptr ? take + 1 : take;

    if (skipping_) {
      // The rest of a line already reported as too long.
      if (newline != nullptr) skipping_ = false;
      continue;
    }
    if (!too_long && pending_.empty() && newline != nullptr && take <= max_line_) {
      line = std::string_view(start, take);
      return Got::Line;
    }
    if (!too_long) {
      std::size_t room = max_line_ - pending_.size();
      if (take > room) {
        pending_.append(start, room);
        too_long = true;
      } else {
        pending_.append(start, take);
      }
    }
    if (newline != nullptr) {
      line = pending_;
      return too_long ? Got::TooLong : Got::Line;
    }
    if (too_long) {
      // Hand the cut line out now rather than reading on: a runaway line may never end.
      skipping_ = true;
      line = pending_;
      return Got::TooLong;
    }
  }
}

bool LineReader::read_exact(char* out, std::size_t size) {
  std::size_t buffered_bytes = std::min(size, end_ - begin_);
  std::memcpy(out, buffer_.get() + begin_, buffered_bytes);
  begin_ += buffered_bytes;
  std::size_t done = buffered_bytes;
  // The rest goes straight into `out`: a large body is not copied through the buffer.
  while (done < size) {
    ssize_t n = read_some(fd_, out + done, size - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}
