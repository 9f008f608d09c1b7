// The network half of the web server: plain and TLS listeners on Boost.Beast/Asio.
// Each request is read with size limits and time-outs on the network threads, answered
// there when it never blocks (installed files), else handed to a fixed pool of worker
// threads (page code may block for seconds). Connections are kept alive between
// requests with an idle time-out and a request cap; requests sent ahead (pipelined)
// are answered one at a time in the order they came.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "web/toolkit/http_message.h"

namespace boost::asio::ssl {
class context;
}

namespace kestrune {

struct ListenerOptions {
  std::vector<std::string> addresses;  // empty = every interface
  int plain_port = 80;                 // -1 = no plain listener; 0 = system-assigned
  int tls_port = 0;                    // 0 = no TLS listener
  std::shared_ptr<boost::asio::ssl::context> tls_context;  // needed when tls_port > 0
  int worker_threads = 64;
  int network_threads = 2;
  int max_connections = 512;
  // Open connections from one client address; the total cap above holds for the rest.
  int max_connections_per_address = 64;
  std::size_t max_header_bytes = 16 * 1024;
  std::size_t max_body_bytes = 25 * 1024 * 1024;
  // Request bodies held by all connections together (declared lengths are reserved
  // when the header arrives; a body of unknown length reserves max_body_bytes). A
  // request that does not fit gets 503.
  std::size_t max_body_bytes_in_flight = 256 * 1024 * 1024;
  // Every read of a request waits at most read_timeout_seconds for the next bytes. A
  // body must also arrive at min_body_bytes_per_second on average, measured on what has
  // arrived: it has read_timeout_seconds + received / rate from the end of its header.
  int read_timeout_seconds = 30;
  // Response bodies held in memory while clients read them, by all connections and by
  // the connections of one client address. An answer that does not fit is moved to an
  // unnamed file in spill_dir (empty = the system's temporary directory) and sent from
  // there, so that clients that read slowly or not at all cannot pin the server's memory.
  std::size_t max_response_bytes_in_flight = 64 * 1024 * 1024;
  std::size_t max_response_bytes_in_flight_per_address = 16 * 1024 * 1024;
  std::filesystem::path spill_dir;
  std::size_t min_body_bytes_per_second = 8 * 1024;
  int write_timeout_seconds = 60;
  // A kept-alive connection waits this long for the next request's header (never longer
  // than read_timeout_seconds); 0 = one request per connection.
  int keep_alive_seconds = 5;
  // Requests on one connection; the last one's answer says "Connection: close".
  int max_requests_per_connection = 100;
};

// Runs on a worker thread; fills the answer for one request.
using RequestHandler = std::function<HttpResponse(HttpRequest&)>;
// Runs on a network thread first: answers a request that cannot block (an installed
// file held in memory), or none to hand the request to the worker pool.
using QuickHandler = std::function<std::optional<HttpResponse>(const HttpRequest&)>;

// "010.0.0.1" -> "10.0.0.1": each group of a dotted address read as decimal with
// leading zeros allowed. Other texts are returned trimmed, for the resolver to judge.
std::string NormaliseBoundAddress(std::string_view text);
// The comma-separated BoundIP list, normalised; empty entries dropped.
std::vector<std::string> SplitBoundAddresses(std::string_view bound_ip);

class HttpListener {
 public:
  HttpListener(ListenerOptions options, RequestHandler handler, QuickHandler quick = {});
  ~HttpListener();  // stops
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  // Binds every listener and starts serving; throws ListenerStartError.
  void Start();
  // Stops accepting, closes connections and joins every thread.
  void Stop();

  int PlainPort() const;  // the bound port (read back when 0 was asked), -1 when none
  int TlsPort() const;
  // Response body bytes held in memory for clients now.
  std::size_t ResponseBytesInFlight() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune
