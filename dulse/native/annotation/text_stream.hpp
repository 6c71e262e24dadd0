// The bytes of an annotation file, read once from front to back: a regular file, a pipe or
// any other stream, inflated on the way when it starts with a gzip header (one member or many,
// as bgzip writes them). Nothing is read twice and nothing is sought, so `<(zcat x.gtf.gz)`
// works as well as the file itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dulse::annotation {

class TextStream {
 public:
  TextStream() = default;
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;
  ~TextStream();

  // Opens `path`; throws ReadError (unreadable) naming `shown` when it cannot.
  void open(const std::string& path, const std::string& shown);

  // Fills up to `cap` bytes of `out`; 0 only at the end of the text. Throws ReadError when a
  // read fails or the gzip data is bad or cut short.
  size_t read(char* out, size_t cap);

 private:
  size_t read_raw(uint8_t* out, size_t cap);
  bool refill_input();
  size_t inflate_into(char* out, size_t cap);
  [[noreturn]] void fail(const std::string& reason) const;

  int fd_ = -1;
  std::string shown_;
  void* zstream_ = nullptr;  // z_stream, while the text is gzip
  std::vector<uint8_t> input_;
  size_t in_begin_ = 0;
  size_t in_end_ = 0;
  bool input_done_ = false;
  bool member_done_ = false;
};

}  // namespace dulse::annotation
