// A file written front to back through a buffer, its first failure kept with errno's value so
// that whoever closes it can say what went wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dulse::bam {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Creates or truncates `path`. False with error() set when it cannot.
  bool open(const char* path);
  bool write(const void* data, size_t n);
  bool write(const char* text);
  // Writes what is buffered and closes the file: false with error() set when any write, or the
  // close, failed.
  bool close();
  // errno's value for the first failure, or 0.
  int error() const { return error_; }

 private:
  bool flush();

  int fd_ = -1;
  int error_ = 0;
  std::vector<uint8_t> buffer_;
};

}  // namespace dulse::bam
