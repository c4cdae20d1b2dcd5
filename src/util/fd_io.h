// Reading and writing whole things through descriptors: the loops that retry interrupted and
// partial calls live here once.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

/// read(2), retried when interrupted. What read returns, errno set on -1.
ssize_t read_some(int fd, char* out, std::size_t size);

/// Writes every byte to a blocking descriptor, retrying interrupted and partial writes.
/// 0, or the errno value (EIO when a write accepts nothing).
int write_fully(int fd, std::string_view data);

/// Everything up to the end of the stream, at most `limit` bytes. 0, or the errno value
/// (EFBIG past the limit).
int read_to_end(int fd, std::string& out, std::size_t limit);

/// Lines from one descriptor through a buffer reused for every line. A line that lies wholly
/// in the buffer is handed out without a copy. Owned by one thread; not thread-safe.
class LineReader {
 public:
  LineReader(int fd, std::size_t max_line, std::size_t buffer_size = 64 * 1024);

  enum class Got {
    Line,     // `line` is the next line, without its "\n"
    TooLong,  // the line passed max_line bytes: `line` is its first max_line bytes; the rest
              // up to its "\n" is skipped, and reading goes on with the next line
    End,      // the stream ended (a last line without "\n" came as a Line first)
    Error,    // a read failed (a receive time-out included); errno is set
  };

  /// The next line. `line` stays valid until the next call.
  Got next(std::string_view& line);

  /// True when bytes already read wait in the buffer, so next() may return without reading.
  bool buffered() const { return begin_ < end_; }

  /// Fills `out` with exactly `size` bytes (after the buffered ones); false when the stream
  /// ends first or on an error.
  bool read_exact(char* out, std::size_t size);

 private:
  enum class Fill { Data, End, Error };
  Fill fill();

  int fd_;
  std::size_t max_line_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
  std::string pending_;    // a line that spans reads
  bool skipping_ = false;  // inside the rest of a line that was too long
};
