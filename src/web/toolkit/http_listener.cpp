// Beast/Asio code of the web server, kept in this one file because it compiles slowly.
// Connections are C++20 coroutines on a small set of network threads; the request
// handler runs on a separate fixed pool so that slow page code never blocks reading
// and writing, and slow clients never hold a worker. A connection reads its next
// request only once the previous answer is written, so pipelined requests are answered
// in order and each request gets every limit afresh.
#include "web/toolkit/http_listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/core/file.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "web/toolkit/listener_error.h"

namespace kestrune {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr auto kAsTuple = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t kDrainBytes = 256 * 1024;

bool NeverHasBody(int status) { return status / 100 == 1 || status == 204 || status == 304; }

std::string PeerText(const tcp::endpoint& endpoint) {
  auto address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address.to_string();
}

HttpResponse PlainError(int status, std::string text) {
  HttpResponse response;
  response.status = status;
  response.SetHeader("Content-Type", "text/plain");
  response.body = std::move(text);
  return response;
}

// Appends a header name or value; a line break in it would start a field of the client's
// choosing, so it goes out as a space.
void AppendFieldText(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  out += text;
  for (std::size_t i = start; i < out.size(); ++i) {
    if (out[i] == '\r' || out[i] == '\n' || out[i] == '\0') out[i] = ' ';
  }
}

std::string FieldText(std::string_view text) {
  std::string out;
  AppendFieldText(out, text);
  return out;
}

// The header block of an answer whose body goes out from memory, serialised here so that
// the header and the body leave in one write. Content-Length tells `length` (a HEAD
// request's answer tells the length a GET would get); answers that never carry a body
// (1xx, 204, 304) tell none and send none.
std::string HeaderBlock(const HttpResponse& answer, std::uint64_t length, bool keep_alive) {
  const int status = answer.status >= 100 && answer.status <= 999 ? answer.status : 500;
  std::string out;
  std::size_t estimate = 96;
  for (const auto& [name, value] : answer.headers) estimate += name.size() + value.size() + 4;
  out.reserve(estimate);
  out += "HTTP/1.1 ";
  out += std::to_string(status);
  out += ' ';
  if (answer.reason.empty()) {
    out += http::obsolete_reason(http::int_to_status(static_cast<unsigned>(status)));
  } else {
    AppendFieldText(out, answer.reason);
  }
  out += "\r\n";
  for (const auto& [name, value] : answer.headers) {
    if (EqualsIgnoringAsciiCase(name, "Content-Length") ||
        EqualsIgnoringAsciiCase(name, "Transfer-Encoding") ||
        (!keep_alive && EqualsIgnoringAsciiCase(name, "Connection"))) {
      continue;
    }
    AppendFieldText(out, name);
    out += ": ";
    AppendFieldText(out, value);
    out += "\r\n";
  }
  if (!keep_alive) out += "Connection: close\r\n";
  if (!NeverHasBody(status)) {
    out += "Content-Length: ";
    out += std::to_string(length);
    out += "\r\n";
  }
  out += "\r\n";
  return out;
}

// An answer whose body is sent from a file, its header fields cleaned as HeaderBlock
// cleans them; false when the file cannot be handed over.
bool ToBeastFile(HttpResponse& answer, http::response<http::file_body>& response, bool keep_alive) {
  response.version(11);
  response.result(static_cast<unsigned>(answer.status));
  if (!answer.reason.empty()) response.reason(FieldText(answer.reason));
  for (const auto& [name, value] : answer.headers) {
    response.insert(FieldText(name), FieldText(value));
  }
  if (!keep_alive) response.set(http::field::connection, "close");
  beast::file file;
  beast::error_code error;
  file.native_handle(answer.body_file->Release());
  response.body().reset(std::move(file), error);
  if (error) return false;
  response.prepare_payload();
  return true;
}

}  // namespace

std::string NormaliseBoundAddress(std::string_view text) {
  const std::string_view trimmed = TrimBlanks(text);
  std::string out;
  int groups = 0;
  std::size_t pos = 0;
  while (pos <= trimmed.size()) {
    const auto dot = trimmed.find('.', pos);
    const std::string_view group =
        trimmed.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
    if (group.empty() || group.size() > 5) return std::string(trimmed);
    int value = 0;
    for (char c : group) {
      if (c < '0' || c > '9') return std::string(trimmed);
      value = value * 10 + (c - '0');
    }
    if (value > 255) return std::string(trimmed);
    if (groups++ > 0) out += '.';
    out += std::to_string(value);
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  return groups == 4 ? out : std::string(trimmed);
}

std::vector<std::string> SplitBoundAddresses(std::string_view bound_ip) {
  std::vector<std::string> addresses;
  while (!bound_ip.empty()) {
    const auto comma = bound_ip.find(',');
    const std::string address = NormaliseBoundAddress(bound_ip.substr(0, comma));
    if (!address.empty()) addresses.push_back(address);
    if (comma == std::string_view::npos) break;
    bound_ip.remove_prefix(comma + 1);
  }
  return addresses;
}

class HttpListener::Impl {
 public:
  Impl(ListenerOptions options, RequestHandler handler, QuickHandler quick)
      : options_(std::move(options)), handler_(std::move(handler)), quick_(std::move(quick)) {}

  ~Impl() { Stop(); }

  // Each network thread runs a loop of its own and accepts from every listening socket
  // (the same socket, watched by each loop): a connection stays on the thread that
  // accepted it, so its reads, writes and timers never wait for a lock or wake another
  // thread.
  void Start() {
    workers_.emplace(static_cast<std::size_t>(std::max(1, options_.worker_threads)));
    for (int i = 0; i < std::max(1, options_.network_threads); ++i) {
      loops_.push_back(std::make_unique<asio::io_context>(1));
    }
    if (options_.plain_port >= 0) plain_port_ = BindAll(options_.plain_port, false);
    if (options_.tls_port > 0) tls_port_ = BindAll(options_.tls_port, true);
    for (auto& [acceptor, secure] : acceptors_) {
      asio::co_spawn(acceptor->get_executor(), Accept(*acceptor, secure), asio::detached);
    }
    for (auto& loop : loops_) {
      threads_.emplace_back([&context = *loop] { context.run(); });
    }
  }

  // Stops accepting, lets the requests whose page code runs finish and write their
  // answers, and ends every other connection at once: a browser waiting on a stopped
  // server gets its answer or a closed connection, never silence.
  void Stop() {
    if (stopped_.exchange(true)) return;
    for (auto& entry : acceptors_) {
      asio::post(entry.first->get_executor(), [&acceptor = *entry.first] {
        beast::error_code ignored;
        acceptor.close(ignored);
      });
    }
    // Connections still reading a request see its end; those being answered can write.
    ShutdownOpenSockets(SHUT_RD);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(std::max(1, options_.write_timeout_seconds));
    while (connections_.load() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    if (workers_) {
      workers_->stop();
      workers_->join();
    }
    ShutdownOpenSockets(SHUT_RDWR);
    for (auto& loop : loops_) loop->stop();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
    for (auto& entry : acceptors_) {
      beast::error_code ignored;
      entry.first->close(ignored);
    }
  }

  int plain_port_ = -1;
  int tls_port_ = -1;

 private:
  // Keeps a connection's descriptor in the open set while the socket that owns it lives,
  // so that Stop can shut it down from another thread without touching the socket object.
  class OpenSocket {
   public:
    OpenSocket(Impl& owner, int descriptor) : owner_(owner), descriptor_(descriptor) {
      std::lock_guard guard(owner_.open_lock_);
      owner_.open_sockets_.insert(descriptor_);
      // Registered after Stop shut the open set down: end at once.
      if (owner_.stopped_.load()) ::shutdown(descriptor_, SHUT_RDWR);
    }
    ~OpenSocket() {
      std::lock_guard guard(owner_.open_lock_);
      owner_.open_sockets_.erase(descriptor_);
    }
    OpenSocket(const OpenSocket&) = delete;
    OpenSocket& operator=(const OpenSocket&) = delete;

   private:
    Impl& owner_;
    int descriptor_;
  };

  void ShutdownOpenSockets(int how) {
    std::lock_guard guard(open_lock_);
    for (const int descriptor : open_sockets_) ::shutdown(descriptor, how);
  }

  int BindAll(int port, bool secure) {
    std::vector<std::string> addresses = options_.addresses;
    if (addresses.empty()) addresses.push_back("0.0.0.0");
    for (const auto& text : addresses) {
      beast::error_code error;
      const auto address = asio::ip::make_address(text, error);
      if (error) {
        throw ListenerStartError(ListenerStartError::Kind::kAddress,
                                 "Invalid address to listen on: " + text);
      }
      auto acceptor = std::make_unique<tcp::acceptor>(*loops_.front());
      const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
      acceptor->open(endpoint.protocol(), error);
      if (!error) acceptor->set_option(asio::socket_base::reuse_address(true), error);
      if (!error) acceptor->bind(endpoint, error);
      if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
      if (error) {
        const auto kind =
            error == asio::error::address_in_use || error == asio::error::access_denied
                ? ListenerStartError::Kind::kPortInUse
                : ListenerStartError::Kind::kAddress;
        throw ListenerStartError(kind, "Could not bind socket " + text + ":" +
                                           std::to_string(port) + ": " + error.message());
      }
      // With port 0 the system picks one; every further address uses the same.
      port = acceptor->local_endpoint().port();
      // The other loops watch the same listening socket through a descriptor of their own.
      for (std::size_t i = 1; i < loops_.size(); ++i) {
        const int copy = ::dup(acceptor->native_handle());
        auto twin = std::make_unique<tcp::acceptor>(*loops_[i]);
        if (copy >= 0) twin->assign(endpoint.protocol(), copy, error);
        if (copy < 0 || error) {
          if (copy >= 0 && error) ::close(copy);
          throw ListenerStartError(ListenerStartError::Kind::kAddress,
                                   "Could not share socket " + text + ":" + std::to_string(port));
        }
        acceptors_.emplace_back(std::move(twin), secure);
      }
      acceptors_.emplace_back(std::move(acceptor), secure);
    }
    return port;
  }

  asio::awaitable<void> Accept(tcp::acceptor& acceptor, bool secure) {
    const unsigned short local_port = acceptor.local_endpoint().port();
    for (;;) {
      tcp::endpoint peer;
      auto [error, socket] = co_await acceptor.async_accept(peer, kAsTuple);
      if (error) {
        if (!acceptor.is_open()) co_return;
        // Out of descriptors and similar: pause instead of spinning.
        asio::steady_timer pause(acceptor.get_executor(), 50ms);
        co_await pause.async_wait(kAsTuple);
        continue;
      }
      const std::string address = PeerText(peer);
      if (address.empty() || connections_.load() >= options_.max_connections ||
          !TakeAddressSlot(address)) {
        beast::error_code ignored;
        socket.close(ignored);
        continue;
      }
      ++connections_;
      asio::co_spawn(acceptor.get_executor(),
                     Connection(std::move(socket), secure, local_port, address),
                     [this, address](std::exception_ptr) {
                       GiveAddressSlot(address);
                       --connections_;
                     });
    }
  }

  // One connection per client address more, unless the address is at its cap.
  bool TakeAddressSlot(const std::string& address) {
    std::lock_guard guard(address_lock_);
    int& count = per_address_[address];
    if (count >= options_.max_connections_per_address) return false;
    ++count;
    return true;
  }

  void GiveAddressSlot(const std::string& address) {
    std::lock_guard guard(address_lock_);
    const auto found = per_address_.find(address);
    if (found != per_address_.end() && --found->second <= 0) per_address_.erase(found);
  }

  // Bytes of request bodies reserved for one request, given back when it ends.
  class BodyReservation {
   public:
    BodyReservation(Impl& owner, std::size_t bytes) : owner_(owner) {
      const std::size_t limit = owner_.options_.max_body_bytes_in_flight;
      std::size_t held = owner_.bodies_in_flight_.load();
      do {
        if (held > limit || bytes > limit - held) return;
      } while (!owner_.bodies_in_flight_.compare_exchange_weak(held, held + bytes));
      bytes_ = bytes;
      granted_ = true;
    }
    ~BodyReservation() { owner_.bodies_in_flight_ -= bytes_; }
    BodyReservation(const BodyReservation&) = delete;
    BodyReservation& operator=(const BodyReservation&) = delete;
    bool granted() const { return granted_; }

   private:
    Impl& owner_;
    std::size_t bytes_ = 0;
    bool granted_ = false;
  };

  // Bytes of one response body held in memory for a client, against the total and the
  // client address's caps; given back when the answer has been written.
  class ResponseReservation {
   public:
    ResponseReservation(Impl& owner, std::string address, std::size_t bytes)
        : owner_(owner), address_(std::move(address)) {
      std::lock_guard guard(owner_.address_lock_);
      std::size_t& mine = owner_.responses_per_address_[address_];
      const bool fits =
          owner_.responses_in_flight_ <= owner_.options_.max_response_bytes_in_flight &&
          bytes <= owner_.options_.max_response_bytes_in_flight - owner_.responses_in_flight_ &&
          mine <= owner_.options_.max_response_bytes_in_flight_per_address &&
          bytes <= owner_.options_.max_response_bytes_in_flight_per_address - mine;
      if (fits) {
        mine += bytes;
        owner_.responses_in_flight_ += bytes;
        bytes_ = bytes;
        granted_ = true;
      } else if (mine == 0) {
        owner_.responses_per_address_.erase(address_);
      }
    }
    ~ResponseReservation() {
      if (!granted_) return;
      std::lock_guard guard(owner_.address_lock_);
      owner_.responses_in_flight_ -= bytes_;
      const auto found = owner_.responses_per_address_.find(address_);
      if (found != owner_.responses_per_address_.end() && (found->second -= bytes_) == 0) {
        owner_.responses_per_address_.erase(found);
      }
    }
    ResponseReservation(const ResponseReservation&) = delete;
    ResponseReservation& operator=(const ResponseReservation&) = delete;
    bool granted() const { return granted_; }

   private:
    Impl& owner_;
    std::string address_;
    std::size_t bytes_ = 0;
    bool granted_ = false;
  };

 public:
  std::size_t ResponseBytesInFlight() {
    std::lock_guard guard(address_lock_);
    return responses_in_flight_;
  }

 private:
  // Keeps the answer's body in memory when the caps allow, else moves it to a file.
  void HoldOrSpill(HttpResponse& response, const std::string& address,
                   std::optional<ResponseReservation>& held) {
    if (response.body_file || response.body.empty()) return;
    held.emplace(*this, address, response.body.size());
    if (held->granted()) return;
    held.reset();
    try {
      const std::filesystem::path dir =
          options_.spill_dir.empty() ? std::filesystem::temp_directory_path() : options_.spill_dir;
      response.body_file = FileBody::Spill(response.body, dir);
      std::string().swap(response.body);
    } catch (const std::exception&) {
      response = PlainError(503, "Service Unavailable");
    }
  }

  // How an exchange ended: the connection may carry another request, must be closed
  // after its answer (reading what the client may still send, so that it gets to read the
  // answer), may be closed at once (the client asked to end and sent nothing more), or
  // was lost (or timed out) before an answer could be written.
  enum class After { kNextRequest, kClose, kCloseNow, kLost };

  asio::awaitable<void> Connection(tcp::socket socket, bool secure, unsigned short local_port,
                                   std::string peer_address) {
    beast::error_code error;
    HttpRequest peer;
    peer.peer_address = std::move(peer_address);
    peer.secure = secure;
    peer.local_port = local_port;
    beast::tcp_stream stream(std::move(socket));
    if (!secure) {
      const OpenSocket open(*this, stream.socket().native_handle());
      // Reads and writes are first tried without waiting (see ReadHeaderNow, WriteNow).
      stream.socket().non_blocking(true, error);
      if (error) co_return;
      // A connection that timed out is closed already and has nothing to drain.
      const After after = co_await Serve(stream, peer);
      if (after == After::kCloseNow) {
        stream.socket().close(error);
      } else if (after == After::kClose) {
        stream.socket().shutdown(tcp::socket::shutdown_send, error);
        co_await Drain(stream);
      }
      co_return;
    }
    beast::ssl_stream<beast::tcp_stream> tls(std::move(stream), *options_.tls_context);
    const OpenSocket open(*this, beast::get_lowest_layer(tls).socket().native_handle());
    beast::get_lowest_layer(tls).expires_after(std::chrono::seconds(options_.read_timeout_seconds));
    auto [handshake_error] = co_await tls.async_handshake(asio::ssl::stream_base::server, kAsTuple);
    if (handshake_error) co_return;
    if (const After after = co_await Serve(tls, peer);
        after == After::kClose || after == After::kCloseNow) {
      beast::get_lowest_layer(tls).expires_after(2s);
      co_await tls.async_shutdown(kAsTuple);
    }
  }

  // The requests of one connection, one after the other, up to the request cap. The
  // buffer outlives each request: bytes a client sent ahead belong to the next one.
  template <class Stream>
  asio::awaitable<After> Serve(Stream& stream, const HttpRequest& peer) {
    beast::flat_buffer buffer;
    const int cap = std::max(1, options_.max_requests_per_connection);
    const int idle = std::min(options_.keep_alive_seconds, options_.read_timeout_seconds);
    for (int served = 0;; ++served) {
      HttpRequest request;
      request.peer_address = peer.peer_address;
      request.secure = peer.secure;
      request.local_port = peer.local_port;
      const bool last = idle <= 0 || served + 1 >= cap;
      const int wait = served == 0 ? options_.read_timeout_seconds : idle;
      const After after = co_await Exchange(stream, buffer, request, wait, last);
      if (after != After::kNextRequest) co_return after;
      if (stopped_.load()) co_return After::kClose;
      if (served == 0) {
        // Kept alive: the next answers must not wait for the client's acknowledgements.
        beast::error_code ignored;
        beast::get_lowest_layer(stream).socket().set_option(tcp::no_delay(true), ignored);
      }
    }
  }
  // Reads what the client still sends after the answer, so that closing the socket
  // does not reset the connection before the client has read the answer (413).
  asio::awaitable<void> Drain(beast::tcp_stream& stream) {
    stream.expires_after(1s);
    char scratch[16 * 1024];
    std::size_t total = 0;
    while (total < kDrainBytes) {
      auto [error, got] = co_await stream.async_read_some(asio::buffer(scratch), kAsTuple);
      if (error) break;
      total += got;
    }
  }

  // Whether the socket holds no unread bytes (a TLS connection always ends with its own
  // closing exchange, so it never counts as quiet).
  template <class Stream>
  static bool NothingMoreSent(Stream& stream) {
    if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
      beast::error_code error;
      return stream.socket().available(error) == 0 && !error;
    } else {
      return false;
    }
  }

  // Reads the body chunk by chunk. Each read waits at most the read time-out; the whole
  // body has the read time-out plus what has arrived at the minimum rate, so a client
  // that declares a large body and sends it slowly, or not at all, is dropped early.
  template <class Stream, class Parser>
  asio::awaitable<beast::error_code> ReadBody(Stream& stream, beast::flat_buffer& buffer,
                                              Parser& parser) {
    auto& lowest = beast::get_lowest_layer(stream);
    const auto read_timeout = std::chrono::seconds(options_.read_timeout_seconds);
    const auto started = std::chrono::steady_clock::now();
    const double rate =
        static_cast<double>(std::max<std::size_t>(1, options_.min_body_bytes_per_second));
    std::size_t received = 0;
    while (!parser.is_done()) {
      const auto earned = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(static_cast<double>(received) / rate));
      const auto deadline = std::min(started + read_timeout + earned,
                                     std::chrono::steady_clock::now() + read_timeout);
      if (deadline <= std::chrono::steady_clock::now()) co_return beast::error::timeout;
      lowest.expires_at(deadline);
      auto [error, got] = co_await http::async_read_some(stream, buffer, parser, kAsTuple);
      if (error) co_return error;
      received += got;
    }
    co_return beast::error_code{};
  }

  // Reads one request and writes its answer. The header has header_seconds to arrive
  // (the read time-out for a connection's first request, the idle time-out after).
  // An answer of the listener's own (a refused or broken request), a client that asked
  // to close or an HTTP/1.0 client ends the connection, as does the last request.
  template <class Stream>
  asio::awaitable<After> Exchange(Stream& stream, beast::flat_buffer& buffer, HttpRequest& request,
                                  int header_seconds, bool last) {
    auto& lowest = beast::get_lowest_layer(stream);
    http::request_parser<http::string_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(options_.max_header_bytes));
    parser.body_limit(options_.max_body_bytes);

    HttpResponse response;
    bool keep_alive = false;
    bool client_ends = false;
    beast::error_code error;
    if (!ReadHeaderNow(stream, buffer, parser, error)) {
      lowest.expires_after(std::chrono::seconds(header_seconds));
      auto [header_error, header_bytes] =
          co_await http::async_read_header(stream, buffer, parser, kAsTuple);
      error = header_error;
    }
    std::optional<BodyReservation> body_memory;
    if (!error && !parser.is_done()) {
      body_memory.emplace(*this, parser.content_length().value_or(options_.max_body_bytes));
      if (!body_memory->granted()) {
        response = PlainError(503, "Service Unavailable");
      } else {
        error = co_await ReadBody(stream, buffer, parser);
      }
    }
    if (response.status == 503) {
      // Answered without reading the body.
    } else if (error == http::error::body_limit) {
      response = PlainError(413, "Request Entity Too Large");
    } else if (error == http::error::header_limit) {
      response = PlainError(431, "Request Header Fields Too Large");
    } else if (error == beast::error::timeout || error == http::error::end_of_stream ||
               error == asio::error::eof || error == asio::error::connection_reset ||
               error == asio::error::operation_aborted) {
      co_return After::kLost;
    } else if (error) {
      response = PlainError(400, "Bad Request");
    } else {
      auto& message = parser.get();
      request.method = std::string(message.method_string());
      request.target = std::string(message.target());
      for (const auto& field : message) {
        request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
      }
      request.body = std::move(message.body());
      keep_alive = !last && message.version() == 11 && message.keep_alive();
      std::optional<HttpResponse> quick;
      if (quick_) {
        try {
          quick = quick_(request);
        } catch (const std::exception& failure) {
          quick = PlainError(500, std::string("Server error: ") + failure.what());
        }
      }
      if (quick) {
        response = std::move(*quick);
      } else {
        response = co_await asio::co_spawn(
            workers_->get_executor(),
            [this, &request]() -> asio::awaitable<HttpResponse> {
              try {
                co_return handler_(request);
              } catch (const std::exception& failure) {
                co_return PlainError(500, std::string("Server error: ") + failure.what());
              }
            },
            asio::use_awaitable);
      }
      for (const auto& [name, value] : response.headers) {
        if (EqualsIgnoringAsciiCase(name, "Connection") &&
            EqualsIgnoringAsciiCase(TrimBlanks(value), "close")) {
          keep_alive = false;
        }
      }
      // A client that asked to end, read in full with nothing sent after: no need to
      // wait for its side to close.
      client_ends = !(message.version() == 11 && message.keep_alive()) && buffer.size() == 0 &&
                    NothingMoreSent(stream);
    }
    const After done = keep_alive    ? After::kNextRequest
                       : client_ends ? After::kCloseNow
                                     : After::kClose;
    const bool head_request = request.method == "HEAD";
    std::optional<ResponseReservation> held;
    if (head_request) {
      const std::uint64_t size =
          response.body_file ? response.body_file->Size() : response.body.size();
      response.body_file.reset();
      const std::string head = HeaderBlock(response, size, keep_alive);
      co_return co_await Write(stream, {asio::buffer(head), asio::const_buffer()}) ? done
                                                                                   : After::kLost;
    }
    HoldOrSpill(response, request.peer_address, held);
    if (response.body_file) {
      lowest.expires_after(std::chrono::seconds(options_.write_timeout_seconds));
      http::response<http::file_body> answer;
      if (!ToBeastFile(response, answer, keep_alive)) co_return After::kLost;
      auto [write_error, written] = co_await http::async_write(stream, answer, kAsTuple);
      co_return write_error ? After::kLost : done;
    }
    if (NeverHasBody(response.status)) response.body.clear();
    const std::string head = HeaderBlock(response, response.body.size(), keep_alive);
    co_return co_await Write(stream, {asio::buffer(head), asio::buffer(response.body)})
        ? done
        : After::kLost;
  }

  // A request header already received in full is read without arming the read timer;
  // false when the header has not all arrived (what did is kept in the parser and the
  // buffer) and must be awaited. Only plain connections, whose socket never blocks.
  template <class Stream, class Parser>
  static bool ReadHeaderNow(Stream& stream, beast::flat_buffer& buffer, Parser& parser,
                            beast::error_code& error) {
    if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
      http::read_header(stream.socket(), buffer, parser, error);
      if (error != asio::error::would_block && error != asio::error::try_again) return true;
      error = {};
    }
    return false;
  }

  // Writes an answer: what the socket takes at once goes out without arming the write
  // timer; the rest is awaited within the write time-out. False when the client is lost.
  using Wire = std::array<asio::const_buffer, 2>;
  template <class Stream>
  asio::awaitable<bool> Write(Stream& stream, const Wire& wire) {
    beast::buffers_suffix<Wire> rest(wire);
    if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
      beast::error_code error;
      const std::size_t sent = stream.socket().write_some(wire, error);
      if (error && error != asio::error::would_block && error != asio::error::try_again) {
        co_return false;
      }
      rest.consume(sent);
      if (beast::buffer_bytes(rest) == 0) co_return true;
    }
    beast::get_lowest_layer(stream).expires_after(
        std::chrono::seconds(options_.write_timeout_seconds));
    auto [error, written] = co_await asio::async_write(stream, rest, kAsTuple);
    co_return !error;
  }

  // Declared before loops_ and workers_: connection frames still pending when those are
  // destroyed unregister their sockets here, so these must outlive them.
  ListenerOptions options_;
  RequestHandler handler_;
  QuickHandler quick_;
  std::atomic<int> connections_{0};
  std::atomic<bool> stopped_{false};
  std::mutex open_lock_;
  std::unordered_set<int> open_sockets_;  // descriptors of live connections
  std::mutex address_lock_;
  std::unordered_map<std::string, int> per_address_;  // open connections by client address
  std::atomic<std::size_t> bodies_in_flight_{0};      // reserved request body bytes
  // Response body bytes held in memory, in total and by client address (address_lock_).
  std::size_t responses_in_flight_ = 0;
  std::unordered_map<std::string, std::size_t> responses_per_address_;

  std::vector<std::unique_ptr<asio::io_context>> loops_;  // one per network thread
  std::optional<asio::thread_pool> workers_;
  std::vector<std::pair<std::unique_ptr<tcp::acceptor>, bool>> acceptors_;
  std::vector<std::thread> threads_;
};

HttpListener::HttpListener(ListenerOptions options, RequestHandler handler, QuickHandler quick)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(handler), std::move(quick))) {}

HttpListener::~HttpListener() = default;

void HttpListener::Start() { impl_->Start(); }
void HttpListener::Stop() { impl_->Stop(); }
int HttpListener::PlainPort() const { return impl_->plain_port_; }
int HttpListener::TlsPort() const { return impl_->tls_port_; }
std::size_t HttpListener::ResponseBytesInFlight() const { return impl_->ResponseBytesInFlight(); }

}  // namespace kestrune
