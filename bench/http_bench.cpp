// Web toolkit throughput. Without arguments: Google Benchmark of the dispatcher alone
// (a rendered page of a live session, a static file). With "--serve DIR": runs the real
// server on a system-assigned port for bench/http_bench.sh, prints "PORT <n>" and
// "COOKIE <header>" and serves until standard input closes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "web/toolkit/app_form.h"
#include "web/toolkit/application.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/request_dispatcher.h"
#include "web/toolkit/show_message.h"
#include "web/toolkit/standalone_server.h"

namespace kestrune {
namespace {

constexpr const char* kAgent = "Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/121.0";

class BenchPage : public TIWAppForm {
 public:
  BenchPage(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)) {
    for (int i = 0; i < 20; ++i) {
      AddControl<TIWLabel>("IWLabel" + std::to_string(i)).Caption =
          "Label text " + std::to_string(i);
      AddControl<TIWLink>("IWLink" + std::to_string(i)).Caption = "Link " + std::to_string(i);
    }
  }
};

TIWServerController MakeController(const std::filesystem::path& home) {
  TIWServerController controller;
  controller.SetDirectories(home, std::filesystem::path(KESTRUNE_SOURCE_DIR) / "res");
  controller.MainFormClass = PageClassOf<BenchPage>("TIWBench", "IWBench");
  controller.MessagePage = MakeShowMessagePage;
  controller.MaxAnonymousSessionsPerAddress = 1000000;
  std::filesystem::create_directories(home / "Files");
  std::ofstream(home / "Files" / "static.html") << std::string(4096, 'x');
  return controller;
}

std::string CookieOf(const HttpResponse& response) {
  std::string cookie;
  for (const auto& [name, value] : response.headers) {
    if (name != "Set-Cookie") continue;
    if (!cookie.empty()) cookie += "; ";
    cookie += value.substr(0, value.find(';'));
  }
  return cookie;
}

HttpRequest Get(std::string target, std::string cookie = {}) {
  HttpRequest request;
  request.target = std::move(target);
  request.peer_address = "127.0.0.1";
  request.headers = {{"Host", "127.0.0.1"}, {"User-Agent", kAgent}, {"Cookie", std::move(cookie)}};
  return request;
}

struct BenchServer {
  BenchServer()
      : home(std::filesystem::temp_directory_path() / "kestrune-http-bench"),
        controller(MakeController(home)),
        dispatcher(controller, table) {
    cookie = CookieOf(dispatcher.Handle(Get("/")));
  }
  std::filesystem::path home;
  TIWServerController controller;
  SessionTable table;
  RequestDispatcher dispatcher;
  std::string cookie;
};

void BM_RenderedSessionPage(benchmark::State& state) {
  BenchServer server;
  const HttpRequest request = Get("/index", server.cookie);
  for (auto _ : state) benchmark::DoNotOptimize(server.dispatcher.Handle(request));
}
BENCHMARK(BM_RenderedSessionPage);

void BM_StaticFile(benchmark::State& state) {
  BenchServer server;
  const HttpRequest request = Get("/files/static.html");
  for (auto _ : state) benchmark::DoNotOptimize(server.dispatcher.Handle(request));
}
BENCHMARK(BM_StaticFile);

int Serve(const std::filesystem::path& home) {
  TIWServerController controller = MakeController(home);
  controller.Port = 0;
  controller.BoundIP = "127.0.0.1";
  TIWStandAloneServer server(controller);
  server.Start();
  // The session's cookie, made through the dispatcher's own root request on the wire
  // would need an HTTP client; the table is shared, so ask the server directly.
  RequestDispatcher dispatcher(controller, server.Sessions());
  const std::string cookie = CookieOf(dispatcher.Handle(Get("/")));
  std::cout << "PORT " << server.HttpPort() << "\nCOOKIE " << cookie << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}

}  // namespace
}  // namespace kestrune

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--serve") == 0) return kestrune::Serve(argv[2]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
