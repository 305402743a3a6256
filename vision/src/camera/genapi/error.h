// The error of the description module: a kind the camera code maps to its own error codes, and
// a message that names the node (or URL, or archive entry) and the problem.
#pragma once

#include <stdexcept>
#include <string>

namespace vision::detail::genapi {

enum class ErrorKind {
  kUnknownFeature,  // no node of that name, or not implemented (pIsImplemented false)
  kNotAvailable,    // pIsAvailable false now, or no value for the current selector
  kNotWritable,     // read-only (AccessMode RO, locked by pIsLocked, imposed RO)
  kNotReadable,     // write-only
  kOutOfRange,      // below Min, above Max, not on Inc, too long for the register
  kNoSuchEntry,     // enumeration entry unknown or not available now
  kWrongType,       // e.g. GetFloat on an enumeration
  kPort,            // a register read or write failed, or the port is not connected
  kDescription,     // the description is broken (parse error, missing node, cycle, bad
                    // formula, division by zero, ...) or disagrees with the device
};

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind Kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

}  // namespace vision::detail::genapi
