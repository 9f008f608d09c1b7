// The HTTPS listener's TLS set-up: the three PEM files of the program directory
// ("cert.pem", "key.pem" protected by the certificate password, "root.pem") and their
// generation at the first start of a fresh installation.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace boost::asio::ssl {
class context;
}

namespace kestrune {

// When none of the three files exists, writes a new private key (encrypted with the
// password, mode 0600), a leaf certificate (no authority) for the host name,
// "localhost" and 127.0.0.1, and root.pem, the certificate of a throw-away root that
// signed it and whose key is not kept. The files are written under temporary names and
// renamed into place at the end, so a failure leaves none of them. Returns true when it
// generated them. Files that exist are never touched.
bool EnsureCertificateFiles(const std::filesystem::path& dir, std::string_view password,
                            std::string_view host_name);

// A server TLS context (TLS 1.2 and later) loaded from the three files; throws
// ListenerStartError (kPrivateKey or kCertificates) with OpenSSL's reason.
std::shared_ptr<boost::asio::ssl::context> LoadServerTlsContext(const std::filesystem::path& dir,
                                                                std::string password);

}  // namespace kestrune
