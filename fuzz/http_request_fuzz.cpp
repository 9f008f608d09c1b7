// Runs arbitrary request paths, cookies and bodies through the toolkit's dispatcher
// (sessions, files, commands) against a fixed temporary program directory.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "web/toolkit/request_dispatcher.h"

namespace {

// The content of a file outside the Files directory; error pages may echo the
// requested name, so the check looks for the content, not the file name.
constexpr const char* kSecretContent = "k3-outside-files-5f0c";

struct Server {
  Server() {
    home = std::filesystem::temp_directory_path() / "kestrune-http-fuzz";
    std::filesystem::create_directories(home / "Files" / "sub");
    std::ofstream(home / "Files" / "sub" / "a.htm") << "<p>a</p>";
    std::ofstream(home / "secret.txt") << kSecretContent;
    controller.SetDirectories(home,
                              std::filesystem::path(__FILE__).parent_path().parent_path() / "res");
    controller.MaxAnonymousSessionsPerAddress = 1000000;
    controller.MaxAnonymousSessions = 1000000;
    dispatcher = std::make_unique<kestrune::RequestDispatcher>(controller, table);
  }
  std::filesystem::path home;
  kestrune::TIWServerController controller;
  kestrune::SessionTable table;
  std::unique_ptr<kestrune::RequestDispatcher> dispatcher;
};

}  // namespace

// Input: method line "\n" target "\n" cookie "\n" content type "\n" body.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Server server;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto next = [&input]() {
    const auto newline = input.find('\n');
    std::string line(input.substr(0, newline));
    input = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
    return line;
  };
  kestrune::HttpRequest request;
  request.method = next() == "P" ? "POST" : "GET";
  request.target = next();
  if (request.target.empty() || request.target[0] != '/') request.target = "/" + request.target;
  request.headers = {{"Host", "fuzz"},
                     {"User-Agent", "Mozilla/5.0 Gecko"},
                     {"Cookie", next()},
                     {"Content-Type", next()}};
  request.body = std::string(input);
  request.peer_address = "127.0.0.1";
  const kestrune::HttpResponse response = server.dispatcher->Handle(request);
  // Nothing outside the Files directory may ever be served.
  // (Inputs that carry the content themselves may see it echoed in an error page.)
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  if (raw.find(kSecretContent) == std::string_view::npos &&
      response.body.find(kSecretContent) != std::string::npos)
    __builtin_trap();
  if (server.table.Count() > 5000) {
    for (auto& session : server.table.RemoveAll())
      server.dispatcher->DestroySession(std::move(session));
  }
  return 0;
}
