// Failures of the engine, carried as exceptions of named classes: the base class and the
// failures the platform layer raises. Each layer above defines the classes it raises beside
// the code that raises them.
//
// Every failure that the scanner reports or handles is one of these classes. Callers catch
// the one class they expect around each step and let every other class unwind.
#pragma once

#include <exception>
#include <string>

namespace nerlo {

// Base of every failure class; Message() is the text shown to the user.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A file could not be opened (or, for the fingerprint, read once opened).
class EFOpenError : public Exception {
  using Exception::Exception;
};

// The heuristic matcher could not open or read the file it searches.
class EInOutError : public Exception {
  using Exception::Exception;
};

// A directory entry could not be read.
class EOSError : public Exception {
  using Exception::Exception;
};

}  // namespace nerlo
