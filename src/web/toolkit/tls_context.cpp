// Certificate generation with OpenSSL's EVP/X509 API and the Asio TLS context of the
// HTTPS listener.
#include "web/toolkit/tls_context.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <boost/asio/ssl/context.hpp>
#include <cstdio>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/random.h"
#include "web/toolkit/listener_error.h"

namespace kestrune {
namespace fs = std::filesystem;

namespace {

constexpr const char* kCertFile = "cert.pem";
constexpr const char* kKeyFile = "key.pem";
constexpr const char* kRootFile = "root.pem";
constexpr long kValidDays = 3650;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct X509ExtensionFree {
  void operator()(X509_EXTENSION* ext) const { X509_EXTENSION_free(ext); }
};
struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};

std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

[[noreturn]] void Fail(std::string_view what) {
  throw std::runtime_error(std::string(what) + ": " + OpenSslReason());
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, X509ExtensionFree> ext(
      X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) Fail("certificate extension");
}

// A certificate for the key with that common name, valid from an hour ago; the caller
// sets the issuer, adds extensions and signs.
std::unique_ptr<X509, X509Free> NewCertificate(EVP_PKEY* key, const std::string& common_name) {
  std::unique_ptr<X509, X509Free> cert(X509_new());
  if (!cert) Fail("X509_new");
  X509_set_version(cert.get(), 2);
  std::uint8_t serial_bytes[16];
  FillRandom(serial_bytes);
  serial_bytes[0] &= 0x7F;  // a positive serial number
  BIGNUM* serial = BN_bin2bn(serial_bytes, sizeof serial_bytes, nullptr);
  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get()));
  BN_free(serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60 * 60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidDays * 24 * 60 * 60);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Kestrune"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                             0);
  return cert;
}

std::unique_ptr<EVP_PKEY, PkeyFree> NewKey() {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
  if (!key) Fail("key generation");
  return key;
}

// The three certificates of a fresh installation: a root that signs the server's leaf
// certificate once and whose key is then dropped, so nothing can issue further
// certificates in its name; the leaf is no authority itself.
struct GeneratedCredentials {
  std::unique_ptr<EVP_PKEY, PkeyFree> key;  // the leaf's
  std::unique_ptr<X509, X509Free> cert;
  std::unique_ptr<X509, X509Free> root;
};

GeneratedCredentials Generate(std::string_view host_name) {
  const auto root_key = NewKey();
  auto root = NewCertificate(root_key.get(), "Kestrune local root");
  X509_set_issuer_name(root.get(), X509_get_subject_name(root.get()));
  AddExtension(root.get(), root.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
  AddExtension(root.get(), root.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(root.get(), root.get(), NID_subject_key_identifier, "hash");
  if (X509_sign(root.get(), root_key.get(), EVP_sha256()) <= 0) Fail("X509_sign");

  auto key = NewKey();
  const std::string common_name(host_name.empty() ? "localhost" : host_name);
  auto cert = NewCertificate(key.get(), common_name);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(root.get()));
  std::string alt_names = "DNS:localhost,IP:127.0.0.1";
  if (!host_name.empty() && host_name != "localhost") {
    alt_names = "DNS:" + std::string(host_name) + "," + alt_names;
  }
  AddExtension(cert.get(), root.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), root.get(), NID_key_usage, "critical,digitalSignature");
  AddExtension(cert.get(), root.get(), NID_ext_key_usage, "serverAuth");
  AddExtension(cert.get(), root.get(), NID_subject_key_identifier, "hash");
  AddExtension(cert.get(), root.get(), NID_authority_key_identifier, "keyid:always");
  AddExtension(cert.get(), root.get(), NID_subject_alt_name, alt_names);
  if (X509_sign(cert.get(), root_key.get(), EVP_sha256()) <= 0) Fail("X509_sign");
  return {std::move(key), std::move(cert), std::move(root)};
}

// Opens a new file with the given mode; the file must not exist yet.
std::unique_ptr<FILE, FileClose> CreateFile(const fs::path& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) throw std::runtime_error("Cannot create " + path.string());
  FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) {
    ::close(fd);
    throw std::runtime_error("Cannot create " + path.string());
  }
  return std::unique_ptr<FILE, FileClose>(file);
}

// Closes the file, reporting a failed final write (a full disk shows up here).
void Finish(std::unique_ptr<FILE, FileClose> file, const fs::path& path) {
  FILE* raw = file.release();
  const bool flushed = std::fflush(raw) == 0 && ::fsync(::fileno(raw)) == 0;
  if (std::fclose(raw) != 0 || !flushed) throw std::runtime_error("Cannot write " + path.string());
}

void WriteCertificate(const fs::path& path, X509* cert) {
  auto file = CreateFile(path, 0644);
  if (PEM_write_X509(file.get(), cert) != 1) Fail("writing " + path.string());
  Finish(std::move(file), path);
}

void WriteKey(const fs::path& path, EVP_PKEY* key, std::string_view password) {
  auto file = CreateFile(path, 0600);
  const std::string pass(password);
  // An empty password would make OpenSSL prompt on the terminal; store the key
  // unencrypted then, as there is nothing to protect it with.
  const EVP_CIPHER* cipher = pass.empty() ? nullptr : EVP_aes_256_cbc();
  if (PEM_write_PrivateKey(file.get(), key, cipher,
                           reinterpret_cast<const unsigned char*>(pass.data()),
                           static_cast<int>(pass.size()), nullptr, nullptr) != 1) {
    Fail("writing " + path.string());
  }
  Finish(std::move(file), path);
}

// New files under temporary names beside their final ones; those not renamed into
// place are removed again, so a failure leaves nothing a later start would take for a
// finished set.
class StagedFiles {
 public:
  explicit StagedFiles(const fs::path& dir) : dir_(dir), suffix_(".new-" + RandomHex(8)) {}
  ~StagedFiles() {
    for (const auto& [temporary, final_name] : files_) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
    }
  }
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;

  fs::path Add(const char* final_name) {
    files_.emplace_back(dir_ / (std::string(final_name) + suffix_), dir_ / final_name);
    return files_.back().first;
  }
  // Renames in the order added; when one fails, those already in place go again.
  void Commit() {
    std::vector<fs::path> placed;
    try {
      for (const auto& [temporary, final_name] : files_) {
        fs::rename(temporary, final_name);
        placed.push_back(final_name);
      }
    } catch (...) {
      for (const auto& path : placed) {
        std::error_code ignored;
        fs::remove(path, ignored);
      }
      throw;
    }
    files_.clear();
  }

 private:
  fs::path dir_;
  std::string suffix_;
  std::vector<std::pair<fs::path, fs::path>> files_;
};

}  // namespace

bool EnsureCertificateFiles(const fs::path& dir, std::string_view password,
                            std::string_view host_name) {
  if (fs::exists(dir / kCertFile) || fs::exists(dir / kKeyFile) || fs::exists(dir / kRootFile)) {
    return false;
  }
  const GeneratedCredentials generated = Generate(host_name);
  fs::create_directories(dir);
  StagedFiles staged(dir);
  WriteCertificate(staged.Add(kRootFile), generated.root.get());
  WriteCertificate(staged.Add(kCertFile), generated.cert.get());
  WriteKey(staged.Add(kKeyFile), generated.key.get(), password);
  staged.Commit();
  return true;
}

constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

std::shared_ptr<boost::asio::ssl::context> LoadServerTlsContext(const fs::path& dir,
                                                                std::string password) {
  namespace ssl = boost::asio::ssl;
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                       ssl::context::single_dh_use);
  // TLS 1.2 with forward secrecy and authenticated encryption only (no CBC, no SHA-1
  // MACs); TLS 1.3 has nothing else.
  if (SSL_CTX_set_cipher_list(context->native_handle(), kTls12Ciphers) != 1) {
    throw ListenerStartError(ListenerStartError::Kind::kCertificates, "No usable TLS cipher");
  }
  SSL_CTX_set_options(context->native_handle(), SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Returning browsers resume their session from a ticket instead of a full handshake.
  // The ticket key is drawn at random when the context is made, so no ticket outlives
  // the process; the server-side cache serves clients that send a session id instead.
  SSL_CTX_clear_options(context->native_handle(), SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(context->native_handle(), SSL_SESS_CACHE_SERVER);
  static constexpr unsigned char kSessionContext[] = "kestrune-web";
  SSL_CTX_set_session_id_context(context->native_handle(), kSessionContext,
                                 sizeof kSessionContext - 1);
  SSL_CTX_set_timeout(context->native_handle(), 2 * 3600);
  context->set_password_callback(
      [password](std::size_t, ssl::context::password_purpose) { return password; });
  boost::system::error_code error;
  context->use_certificate_chain_file((dir / kCertFile).string(), error);
  if (error) {
    throw ListenerStartError(ListenerStartError::Kind::kCertificates,
                             "Cannot load cert.pem: " + error.message());
  }
  context->use_private_key_file((dir / kKeyFile).string(), ssl::context::pem, error);
  if (error) {
    throw ListenerStartError(ListenerStartError::Kind::kPrivateKey,
                             "Cannot load key.pem: " + error.message());
  }
  context->load_verify_file((dir / kRootFile).string(), error);
  if (error) {
    throw ListenerStartError(ListenerStartError::Kind::kCertificates,
                             "Cannot load root.pem: " + error.message());
  }
  return context;
}

}  // namespace kestrune
