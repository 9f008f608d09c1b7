// Start-up, banner, background threads and shutdown of the web server.
#include "web/toolkit/standalone_server.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "web/toolkit/http_listener.h"
#include "web/toolkit/listener_error.h"
#include "web/toolkit/request_dispatcher.h"
#include "web/toolkit/tls_context.h"

extern char** environ;

namespace kestrune {
namespace fs = std::filesystem;

namespace {

constexpr auto kCacheFileAge = std::chrono::minutes(10);

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

}  // namespace

TIWStandAloneServer::TIWStandAloneServer(TIWServerController& controller)
    : controller_(controller) {}

TIWStandAloneServer::TIWStandAloneServer(TIWServerController& controller, SessionTable::Clock clock)
    : controller_(controller), table_(std::move(clock)) {}

TIWStandAloneServer::~TIWStandAloneServer() { Stop(); }

void TIWStandAloneServer::Start() {
  if (!controller_.CacheDir.empty()) fs::create_directories(controller_.CacheDir);
  dispatcher_ = std::make_unique<RequestDispatcher>(controller_, table_);

  ListenerOptions options;
  options.addresses = SplitBoundAddresses(controller_.BoundIP);
  options.plain_port = controller_.Port;
  options.worker_threads = controller_.WorkerThreads;
  options.max_connections = controller_.MaxConnections;
  options.max_connections_per_address = controller_.MaxConnectionsPerAddress;
  options.max_header_bytes = controller_.MaxHeaderBytes;
  options.max_body_bytes = controller_.MaxBodyBytes;
  options.max_body_bytes_in_flight = controller_.MaxBodyBytesInFlight;
  options.read_timeout_seconds = controller_.ReadTimeoutSeconds;
  options.min_body_bytes_per_second = controller_.MinBodyBytesPerSecond;
  options.write_timeout_seconds = controller_.WriteTimeoutSeconds;
  options.max_response_bytes_in_flight = controller_.MaxResponseBytesInFlight;
  options.max_response_bytes_in_flight_per_address = controller_.MaxResponseBytesInFlightPerAddress;
  options.spill_dir = controller_.CacheDir;
  options.keep_alive_seconds = controller_.KeepAliveSeconds;
  options.max_requests_per_connection = controller_.MaxRequestsPerConnection;
  if (controller_.SSLOptions.Port > 0) {
    try {
      EnsureCertificateFiles(controller_.ProgramDir, controller_.SSLOptions.CertificatePassword,
                             HostName());
    } catch (const std::exception& failure) {
      throw ListenerStartError(ListenerStartError::Kind::kCertificates, failure.what());
    }
    options.tls_port = controller_.SSLOptions.Port;
    options.tls_context =
        LoadServerTlsContext(controller_.ProgramDir, controller_.SSLOptions.CertificatePassword);
    if (controller_.SSLOptions.NonSSLRequest == NonSSLMode::nsBlock) options.plain_port = -1;
  }
  RequestDispatcher& dispatcher = *dispatcher_;
  listener_ = std::make_unique<HttpListener>(
      options, [&dispatcher](HttpRequest& request) { return dispatcher.Handle(request); },
      [&dispatcher](const HttpRequest& request) { return dispatcher.HandleFileRequest(request); });
  listener_->Start();
  http_port_ = listener_->PlainPort();
  https_port_ = listener_->TlsPort();
  dispatcher_->SetPorts(http_port_, https_port_);
  const int requested_port = controller_.Port;
  if (http_port_ > 0) controller_.Port = http_port_;

  {
    std::lock_guard guard(stop_lock_);
    stopping_ = false;
    running_ = true;
  }
  timeout_thread_ = std::thread([this] { RunTimeoutThread(); });
  purge_thread_ = std::thread([this] { RunPurgeThread(); });
  WriteBanner(requested_port);
}

void TIWStandAloneServer::WriteBanner(int requested_port) {
  if (controller_.Listener == nullptr) return;
  ListenerEvents& log = *controller_.Listener;
  log.OnDebugLog("");
  log.OnDebugLog("Kestrune web toolkit version " + controller_.Version);
  log.OnDebugLog(std::string("Built on ") + __DATE__);
  if (http_port_ >= 0) {
    log.OnDebugLog(requested_port == 0 ? "Warning: Port has been assigned by system."
                                       : "HTTP Port: " + std::to_string(http_port_));
  }
  if (https_port_ > 0) log.OnDebugLog("HTTPS Port: " + std::to_string(https_port_));
  log.OnDebugLog("");
  log.OnDebugLog("---------------------");
  log.OnDebugLog("");
}

void TIWStandAloneServer::Stop() {
  {
    std::lock_guard guard(stop_lock_);
    if (!running_) return;
    running_ = false;
    stopping_ = true;
  }
  stop_signal_.notify_all();
  if (timeout_thread_.joinable()) timeout_thread_.join();
  if (purge_thread_.joinable()) purge_thread_.join();
  if (listener_) listener_->Stop();
  for (auto& session : table_.RemoveAll()) dispatcher_->DestroySession(std::move(session));
  EmptyCacheDir();
}

void TIWStandAloneServer::RunTimeoutThread() {
  std::unique_lock lock(stop_lock_);
  while (!stop_signal_.wait_for(lock, std::chrono::milliseconds(controller_.SessionScanIntervalMs),
                                [this] { return stopping_; })) {
    lock.unlock();
    ExpireIdleSessions();
    lock.lock();
  }
}

void TIWStandAloneServer::RunPurgeThread() {
  std::unique_lock lock(stop_lock_);
  while (!stop_signal_.wait_for(lock, std::chrono::milliseconds(controller_.CachePurgeIntervalMs),
                                [this] { return stopping_; })) {
    lock.unlock();
    PurgeCache();
    lock.lock();
  }
}

void TIWStandAloneServer::ExpireIdleSessions() {
  auto idle = table_.RemoveIdle(std::chrono::minutes(controller_.SessionTimeout()),
                                std::chrono::seconds(controller_.AnonymousSessionTimeoutSeconds));
  for (auto& session : idle) dispatcher_->DestroySession(std::move(session));
}

void TIWStandAloneServer::PurgeCache() {
  if (controller_.CacheDir.empty()) return;
  std::lock_guard guard(cache_lock_);
  const auto limit = fs::file_time_type::clock::now() - kCacheFileAge;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(controller_.CacheDir, error)) {
    std::error_code entry_error;
    if (entry.is_regular_file(entry_error) && entry.last_write_time(entry_error) < limit &&
        !entry_error) {
      fs::remove(entry.path(), entry_error);
    }
  }
}

void TIWStandAloneServer::EmptyCacheDir() {
  if (controller_.CacheDir.empty()) return;
  std::lock_guard guard(cache_lock_);
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(controller_.CacheDir, error)) {
    std::error_code ignored;
    fs::remove_all(entry.path(), ignored);
  }
}

std::string TIWStandAloneServer::StartAddress(bool run_ssl) const {
  std::string address = controller_.BoundIP.substr(0, controller_.BoundIP.find(','));
  if (address.empty()) address = "127.0.0.1";
  const int port = run_ssl ? controller_.SSLOptions.Port : controller_.Port;
  const bool default_port = run_ssl ? port == 443 : port == 80;
  return std::string(run_ssl ? "https" : "http") + "://" + address +
         (default_port ? "" : ":" + std::to_string(port)) + "/" + controller_.StartCmd;
}

void TIWStandAloneServer::LaunchBrowser(bool run_ssl) const {
  const std::string url = StartAddress(run_ssl);
  std::string program = "xdg-open";
  char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
  pid_t child = 0;
  const int error = posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv, environ);
  if (error != 0) {
    throw std::runtime_error("Error " + std::to_string(error) + " while launching browser.");
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    throw std::runtime_error("Error " + std::to_string(WEXITSTATUS(status)) +
                             " while launching browser.");
  }
}

}  // namespace kestrune
