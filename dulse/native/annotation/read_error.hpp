// The one way the annotation reader fails: a message that names the file (and the line, where
// there is one), ready to be shown as it is.
#pragma once

#include <stdexcept>
#include <string>

namespace dulse::annotation {

enum class ErrorKind {
  kMalformed,    // the content breaks the format
  kMissingGene,  // a feature whose gene cannot be told (may be skipped instead, when asked)
  kUnreadable,   // the file cannot be opened, read or inflated
};

class ReadError : public std::runtime_error {
 public:
  ReadError(ErrorKind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const { return kind_; }

 private:
  ErrorKind kind_;
};

}  // namespace dulse::annotation
