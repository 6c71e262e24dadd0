#include "bam/file_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace dulse::bam {

int FileSource::open(const char* path, Access access) {
  close();
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR && !give_up());
  if (fd < 0) return -1;
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  bool stream = !regular && access == Access::kStreamToo && fstat(fd, &st) == 0 &&
                (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode));
  if (!regular && !stream) {
    ::close(fd);
    return -2;
  }
  stream_ = stream;
  size_ = stream ? kMaxCapacity : static_cast<uint64_t>(st.st_size);
  capacity_ = size_ < kMinCapacity   ? kMinCapacity
              : size_ > kMaxCapacity ? kMaxCapacity
                                     : static_cast<size_t>(size_);
  buffer_ = static_cast<uint8_t*>(std::malloc(capacity_));
  if (buffer_ == nullptr) {
    ::close(fd);
    errno = ENOMEM;
    return -1;
  }
  fd_ = fd;
#ifdef POSIX_FADV_SEQUENTIAL
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  return 0;
}

bool FileSource::give_up() {
  int saved = errno;
  interrupted_ = interruption_ != nullptr && interruption_->requested();
  errno = interrupted_ ? EINTR : saved;
  return interrupted_;
}

void FileSource::swap(FileSource& other) noexcept {
  std::swap(fd_, other.fd_);
  std::swap(size_, other.size_);
  std::swap(buffer_, other.buffer_);
  std::swap(capacity_, other.capacity_);
  std::swap(begin_, other.begin_);
  std::swap(end_, other.end_);
  std::swap(at_end_, other.at_end_);
  std::swap(failed_, other.failed_);
  std::swap(stream_, other.stream_);
  std::swap(interrupted_, other.interrupted_);
  std::swap(interruption_, other.interruption_);
}

void FileSource::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  std::free(buffer_);
  buffer_ = nullptr;
  begin_ = end_ = capacity_ = 0;
  size_ = 0;
  at_end_ = failed_ = stream_ = interrupted_ = false;
}

size_t FileSource::fill(size_t n, bool keep) {
  if (available() >= n || at_end_ || failed_ || fd_ < 0) return available();
  if (keep) {
    if (capacity_ - begin_ < n) return available();
  } else if (begin_ > 0) {
    std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  // Each read asks for the whole free space: few large reads are what makes reading cheap.
  while (end_ - begin_ < n) {
    ssize_t got = ::read(fd_, buffer_ + end_, capacity_ - end_);
    if (got < 0) {
      if (errno == EINTR && !give_up()) continue;
      failed_ = true;
      break;
    }
    if (got == 0) {
      at_end_ = true;
      break;
    }
    end_ += static_cast<size_t>(got);
  }
  return available();
}

void FileSource::trade(uint8_t*& buffer, size_t& capacity) {
  size_t unread = end_ - begin_;
  if (unread > 0) std::memcpy(buffer, buffer_ + begin_, unread);
  std::swap(buffer_, buffer);
  std::swap(capacity_, capacity);
  begin_ = 0;
  end_ = unread;
}

size_t FileSource::pread_at(uint64_t offset, uint8_t* out, size_t n) const {
  size_t done = 0;
  while (done < n) {
    ssize_t got = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

}  // namespace dulse::bam
