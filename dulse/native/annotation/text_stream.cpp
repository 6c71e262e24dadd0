#include "annotation/text_stream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "annotation/read_error.hpp"

namespace dulse::annotation {

namespace {
constexpr size_t kInput = size_t{1} << 18;
constexpr int kGzipWindow = 15 + 16;  // gzip wrapper only, with its CRC and length checks
}

TextStream::~TextStream() {
  if (zstream_ != nullptr) {
    auto* zs = static_cast<z_stream*>(zstream_);
    inflateEnd(zs);
    delete zs;
  }
  if (fd_ >= 0) ::close(fd_);
}

void TextStream::fail(const std::string& reason) const {
  throw ReadError(ErrorKind::kUnreadable, shown_ + ": cannot read: " + reason);
}

void TextStream::open(const std::string& path, const std::string& shown) {
  shown_ = shown;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) fail(std::strerror(errno));
  fd_ = fd;
  struct stat st;
  if (fstat(fd_, &st) != 0) fail(std::strerror(errno));
  if (S_ISDIR(st.st_mode)) fail(std::strerror(EISDIR));
#ifdef POSIX_FADV_SEQUENTIAL
  if (S_ISREG(st.st_mode)) posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  input_.resize(kInput);
  // Two bytes tell gzip; on a pipe they may come in separate reads.
  while (in_end_ < 2 && refill_input()) {
  }
  if (in_end_ >= 2 && input_[0] == 0x1f && input_[1] == 0x8b) {
    auto* zs = new z_stream{};
    if (inflateInit2(zs, kGzipWindow) != Z_OK) {
      delete zs;
      fail("cannot start zlib");
    }
    zstream_ = zs;
  }
}

size_t TextStream::read_raw(uint8_t* out, size_t cap) {
  for (;;) {
    ssize_t got = ::read(fd_, out, cap);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) fail(std::strerror(errno));
  }
}

// Appends what one read gives to the input buffer; false at the end of the file.
bool TextStream::refill_input() {
  if (input_done_) return false;
  if (in_begin_ == in_end_) {
    in_begin_ = in_end_ = 0;
  } else if (in_end_ == input_.size()) {
    std::memmove(input_.data(), input_.data() + in_begin_, in_end_ - in_begin_);
    in_end_ -= in_begin_;
    in_begin_ = 0;
  }
  size_t got = read_raw(input_.data() + in_end_, input_.size() - in_end_);
  if (got == 0) {
    input_done_ = true;
    return false;
  }
  in_end_ += got;
  return true;
}

size_t TextStream::read(char* out, size_t cap) {
  if (zstream_ != nullptr) return inflate_into(out, cap);
  if (in_begin_ < in_end_) {
    size_t n = std::min(cap, in_end_ - in_begin_);
    std::memcpy(out, input_.data() + in_begin_, n);
    in_begin_ += n;
    return n;
  }
  if (input_done_) return 0;
  size_t got = read_raw(reinterpret_cast<uint8_t*>(out), cap);
  if (got == 0) input_done_ = true;
  return got;
}

size_t TextStream::inflate_into(char* out, size_t cap) {
  auto* zs = static_cast<z_stream*>(zstream_);
  zs->next_out = reinterpret_cast<Bytef*>(out);
  zs->avail_out = static_cast<uInt>(std::min(cap, size_t{1} << 30));
  const uInt asked = zs->avail_out;
  while (zs->avail_out > 0) {
    if (in_begin_ == in_end_ && !refill_input()) {
      if (member_done_) break;
      fail("the gzip data ends before its end-of-stream marker");
    }
    if (member_done_) {
      // Between members: zero bytes pad the file, anything else starts another member.
      while (in_begin_ < in_end_ && input_[in_begin_] == 0) ++in_begin_;
      if (in_begin_ == in_end_) continue;
      if (inflateReset(zs) != Z_OK) fail("cannot restart zlib");
      member_done_ = false;
    }
    zs->next_in = input_.data() + in_begin_;
    zs->avail_in = static_cast<uInt>(in_end_ - in_begin_);
    int ret = ::inflate(zs, Z_NO_FLUSH);
    in_begin_ = in_end_ - zs->avail_in;
    if (ret == Z_STREAM_END) {
      member_done_ = true;
    } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
      fail(std::string("bad gzip data (") + (zs->msg != nullptr ? zs->msg : "zlib error") + ")");
    }
  }
  return asked - zs->avail_out;
}

}  // namespace dulse::annotation
