// Why the listener could not start; the console picks its repair dialog by the kind.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrune {

class ListenerStartError : public std::runtime_error {
 public:
  enum class Kind {
    kPortInUse,     // a port could not be bound
    kPrivateKey,    // key.pem missing, unreadable or the password is wrong
    kCertificates,  // cert.pem or root.pem missing or broken
    kAddress,       // any other socket error (a BoundIP address that is not ours)
  };
  ListenerStartError(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

}  // namespace kestrune
