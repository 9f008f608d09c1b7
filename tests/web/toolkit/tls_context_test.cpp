// The HTTPS credentials of a fresh installation: a leaf certificate that is no authority,
// signed by a root whose key is gone, and never a partial set after a failed write.
#include "web/toolkit/tls_context.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "listener_fixture.h"
#include "platform/read_file.h"
#include "web/toolkit/static_files.h"

namespace kestrune::testing {
namespace {

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

Certificate ReadCertificate(const std::filesystem::path& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return nullptr;
  Certificate cert(PEM_read_X509(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  return cert;
}

bool VerifiesAgainst(X509* cert, X509* root) {
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, root);
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  X509_STORE_CTX_init(context, store, cert, nullptr);
  X509_STORE_CTX_set_purpose(context, X509_PURPOSE_SSL_SERVER);
  const bool ok = X509_verify_cert(context) == 1;
  X509_STORE_CTX_free(context);
  X509_STORE_free(store);
  return ok;
}

TEST(CertificateFiles, TheServerCertificateIsALeafSignedByTheRoot) {
  TempDir home;
  ASSERT_TRUE(EnsureCertificateFiles(home.path(), "vexo", "mailhost"));
  const Certificate cert = ReadCertificate(home.path() / "cert.pem");
  const Certificate root = ReadCertificate(home.path() / "root.pem");
  ASSERT_TRUE(cert && root);
  EXPECT_EQ(X509_check_ca(cert.get()), 0);  // may not sign other certificates
  EXPECT_NE(X509_check_ca(root.get()), 0);
  EXPECT_NE(X509_cmp(cert.get(), root.get()), 0);
  EXPECT_TRUE(VerifiesAgainst(cert.get(), root.get()));
  for (const char* host : {"mailhost", "localhost"}) {
    EXPECT_EQ(X509_check_host(cert.get(), host, 0, 0, nullptr), 1) << host;
  }
  EXPECT_EQ(X509_check_ip_asc(cert.get(), "127.0.0.1", 0), 1);
  EXPECT_NO_THROW(LoadServerTlsContext(home.path(), "vexo"));  // the key belongs to cert.pem
  // Files that exist are left alone.
  const std::string before = ReadWholeFile(home.path() / "cert.pem");
  EXPECT_FALSE(EnsureCertificateFiles(home.path(), "vexo", "mailhost"));
  EXPECT_EQ(ReadWholeFile(home.path() / "cert.pem"), before);
}

TEST(CertificateFiles, AFailedWriteLeavesNoFilesAndTheNextStartGeneratesThem) {
  TempDir home;
  // Files may grow to 600 bytes: the key fits, a certificate does not.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  getrlimit(RLIMIT_FSIZE, &previous);
  rlimit small = previous;
  small.rlim_cur = 600;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool failed = false;
  try {
    EnsureCertificateFiles(home.path(), "vexo", "mailhost");
  } catch (const std::exception&) {
    failed = true;
  }
  setrlimit(RLIMIT_FSIZE, &previous);
  EXPECT_TRUE(failed);
  int left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(home.path())) {
    ADD_FAILURE() << "left behind: " << entry.path().filename();
    ++left;
  }
  EXPECT_EQ(left, 0);

  EXPECT_TRUE(EnsureCertificateFiles(home.path(), "vexo", "mailhost"));
  EXPECT_NO_THROW(LoadServerTlsContext(home.path(), "vexo"));
}

}  // namespace
}  // namespace kestrune::testing
