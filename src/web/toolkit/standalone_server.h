// TIWStandAloneServer: the web server as the console owns it. It starts the listeners
// with the controller's settings, writes the banner, runs the session time-out and
// cache purge threads, and ends every session at shutdown.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "web/toolkit/server_controller.h"
#include "web/toolkit/session_table.h"

namespace kestrune {

class HttpListener;
class RequestDispatcher;

class TIWStandAloneServer {
 public:
  explicit TIWStandAloneServer(TIWServerController& controller);
  // With the clock of session idle times given (tests).
  TIWStandAloneServer(TIWServerController& controller, SessionTable::Clock clock);
  ~TIWStandAloneServer();  // Stop()
  TIWStandAloneServer(const TIWStandAloneServer&) = delete;
  TIWStandAloneServer& operator=(const TIWStandAloneServer&) = delete;

  // Generates the PEM files at a first start with HTTPS on, binds and starts serving;
  // throws ListenerStartError. Afterwards Port (in the controller) holds the bound port.
  void Start();
  void Stop();

  int HttpPort() const { return http_port_; }
  int HttpsPort() const { return https_port_; }
  SessionTable& Sessions() { return table_; }

  // "http://127.0.0.1:8080/": where a browser on this machine reaches the server.
  std::string StartAddress(bool run_ssl) const;
  // Opens the start address with the desktop's default browser; throws
  // std::runtime_error("Error <code> while launching browser.") on failure.
  void LaunchBrowser(bool run_ssl) const;

  // One pass of each background job (the threads call these on their schedule).
  void ExpireIdleSessions();
  void PurgeCache();

 private:
  void RunTimeoutThread();
  void RunPurgeThread();
  void WriteBanner(int requested_port);
  void EmptyCacheDir();

  TIWServerController& controller_;
  SessionTable table_;
  std::unique_ptr<RequestDispatcher> dispatcher_;
  std::unique_ptr<HttpListener> listener_;
  int http_port_ = -1;
  int https_port_ = -1;

  std::mutex stop_lock_;
  std::condition_variable stop_signal_;
  bool stopping_ = false;
  bool running_ = false;
  std::mutex cache_lock_;  // guards the cache directory during a purge
  std::thread timeout_thread_;
  std::thread purge_thread_;
};

}  // namespace kestrune
