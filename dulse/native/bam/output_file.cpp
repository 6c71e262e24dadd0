#include "bam/output_file.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace dulse::bam {

namespace {

constexpr size_t kBufferSize = size_t{1} << 20;

}  // namespace

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool OutputFile::open(const char* path) {
  fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    error_ = errno;
    return false;
  }
  buffer_.reserve(kBufferSize);
  return true;
}

bool OutputFile::write(const void* data, size_t n) {
  if (error_ != 0) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (buffer_.size() + n > kBufferSize && !flush()) return false;
  if (n >= kBufferSize) {
    buffer_.insert(buffer_.end(), bytes, bytes + n);
    return flush();
  }
  buffer_.insert(buffer_.end(), bytes, bytes + n);
  return true;
}

bool OutputFile::write(const char* text) { return write(text, std::strlen(text)); }

bool OutputFile::flush() {
  size_t done = 0;
  while (done < buffer_.size()) {
    ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  buffer_.clear();
  return true;
}

bool OutputFile::close() {
  if (fd_ < 0) return error_ == 0;
  bool flushed = error_ == 0 && flush();
  if (::close(fd_) != 0 && error_ == 0) error_ = errno;
  fd_ = -1;
  return flushed && error_ == 0;
}

}  // namespace dulse::bam
