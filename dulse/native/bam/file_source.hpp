// A regular file read front to back through one large buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dulse::bam {

// Asked, when a signal interrupts opening or reading, whether to give up (and the read fails).
class Interruption {
 public:
  virtual ~Interruption() = default;
  virtual bool requested() = 0;
};

// What a source may be opened on: regular files only, or also pipes, sockets and character
// devices (read as streams: no size, no reads at an offset).
enum class Access { kRegularFile, kStreamToo };

class FileSource {
 public:
  FileSource() = default;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  FileSource(FileSource&& other) noexcept { swap(other); }
  FileSource& operator=(FileSource&& other) noexcept {
    if (this != &other) {
      close();
      swap(other);
    }
    return *this;
  }
  ~FileSource() { close(); }

  // 0; -1 when the file cannot be opened (errno set); -2 when it is not a regular file (or,
  // with kStreamToo, a directory or block device).
  int open(const char* path, Access access = Access::kRegularFile);
  // Lets `interruption` decide, when a signal interrupts a blocked open or read (of a pipe
  // with nothing to read, say), whether to give up; by default the call is made again.
  void watch(Interruption* interruption) { interruption_ = interruption; }
  // Whether a read failed because the interruption asked to give up.
  bool interrupted() const { return interrupted_; }
  void close();
  bool is_open() const { return fd_ >= 0; }

  // Makes at least `n` bytes available (n <= kMinCapacity) unless the file ends or a read fails
  // first; returns the number available. Moves the unread bytes, so earlier data() pointers die;
  // with `keep`, it moves nothing and reads only into the room after them (returning fewer
  // than `n` when that is too small).
  size_t fill(size_t n, bool keep = false);
  const uint8_t* data() const { return buffer_ + begin_; }
  size_t available() const { return end_ - begin_; }
  void consume(size_t n) { begin_ += n; }
  // The buffer the bytes lie in, and its size.
  const uint8_t* buffer() const { return buffer_; }
  size_t capacity() const { return capacity_; }
  // Swaps buffers with the caller: `buffer` (from malloc, `capacity` bytes, at least this
  // source's capacity) takes the unread bytes and reads go on into it, while the caller keeps
  // the bytes read so far where they lay.
  void trade(uint8_t*& buffer, size_t& capacity);
  // A read(2) failed; the bytes before it stay available.
  bool failed() const { return failed_; }

  // Reads up to `n` bytes at `offset` without moving the stream; returns the count read.
  // Regular files only.
  size_t pread_at(uint64_t offset, uint8_t* out, size_t n) const;
  uint64_t size() const { return size_; }
  bool is_stream() const { return stream_; }

  // The buffer holds the whole file when it is small, up to kMaxCapacity.
  static constexpr size_t kMinCapacity = size_t{128} << 10;
  static constexpr size_t kMaxCapacity = size_t{1} << 20;

 private:
  void swap(FileSource& other) noexcept;
  bool give_up();

  int fd_ = -1;
  uint64_t size_ = 0;
  uint8_t* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool at_end_ = false;
  bool failed_ = false;
  bool stream_ = false;
  bool interrupted_ = false;
  Interruption* interruption_ = nullptr;
};

}  // namespace dulse::bam
