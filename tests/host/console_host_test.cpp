// The address "Browser Login" opens, for the listener settings that change it.
#include "host/console_host.h"

#include <gtest/gtest.h>

#include "settings/program_config.h"

namespace kestrune {
namespace {

TEST(BrowserLoginUrlTest, FollowsThePortTheHttpsOnlyModeAndTheBoundAddress) {
  struct Case {
    int port;
    bool ssl;
    int ssl_port;
    int ssl_request;  // 0 accept, 1 block, 2 redirect
    bool bind;
    std::string bound;
    std::string url;
  };
  for (const Case& c : std::vector<Case>{
           {80, false, 443, 0, false, "", "http://localhost"},
           {8080, false, 443, 0, false, "", "http://localhost:8080"},
           {8080, true, 8443, 0, false, "", "http://localhost:8080"},
           {8080, true, 8443, 2, false, "", "http://localhost:8080"},
           // The plain port answers no page: the browser goes to HTTPS.
           {8080, true, 8443, 1, false, "", "https://localhost:8443"},
           {8080, true, 443, 1, false, "", "https://localhost"},
           // Blocking without HTTPS on is no HTTPS-only listener.
           {8080, false, 8443, 1, false, "", "http://localhost:8080"},
           // Bound to one address, localhost does not answer.
           {8080, false, 443, 0, true, "192.168.1.20", "http://192.168.1.20:8080"},
           {8080, false, 443, 0, true, "fe80::1", "http://[fe80::1]:8080"},
           {8080, false, 443, 0, false, "192.168.1.20", "http://localhost:8080"},
       }) {
    TProgramConfig config;
    config.Port = c.port;
    config.EnableSSL = c.ssl;
    config.SSLPort = c.ssl_port;
    config.SSLRequest = c.ssl_request;
    config.BindToIP = c.bind;
    config.BoundIP = c.bound;
    EXPECT_EQ(BrowserLoginUrl(config), c.url) << c.url;
  }
}

}  // namespace
}  // namespace kestrune
