// HttpServer on GNU libmicrohttpd: an event loop on a small pool of threads
// reads request heads without tying a thread to a connection; it bounds the
// connections in all and per client address, the size of a head, and the
// time a connection may idle. A watchdog adds what the library counts only
// from a connection's last activity: a deadline for a whole head from accept
// (or from the previous answer), and one for a whole answer.
#include <malloc.h>
#include <microhttpd.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>

#include "http.h"

namespace velprobe::serve {
namespace {

using Clock = std::chrono::steady_clock;

// What the library knows of a request before its head is parsed: the target
// exactly as sent (the library's own view of it is decoded).
struct RequestState {
  std::string target;
  std::optional<HttpResponse> answer;  // made when the head came, sent once the library asks
};

}  // namespace

class HttpServer::Impl {
 public:
  Impl(Listener listener, HttpHandler handler, HttpLimits limits)
      : handler_(std::move(handler)), limits_(limits) {
    // Answers of a megabyte or more (a page of readings) get mappings of
    // their own, returned to the system once sent: a flood of them leaves no
    // grown heap behind. (Set by hand, the threshold no longer drifts upwards.)
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    const int fd = listener.release();
    daemon_ = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr, &Impl::access, this,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE, limits_.threads,
        MHD_OPTION_CONNECTION_LIMIT, limits_.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        limits_.perAddress, MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits_.head.count()),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.headBytes, MHD_OPTION_STRICT_FOR_CLIENT, 0 /* the strict Host check of 0.9.75 answers twice; Site checks Host */,
        MHD_OPTION_URI_LOG_CALLBACK, &Impl::uriSeen, this, MHD_OPTION_NOTIFY_COMPLETED, &Impl::completed, this,
        MHD_OPTION_NOTIFY_CONNECTION, &Impl::connectionEvent, this, MHD_OPTION_END);
    if (!daemon_) {
      if (fd >= 0) ::close(fd);
      throw std::runtime_error("cannot start the HTTP server");
    }
    watchdog_ = std::thread([this] { watch(); });
  }

  ~Impl() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    watchdog_.join();
    MHD_stop_daemon(daemon_);
  }

 private:
  struct Tracked {
    int fd;
    Clock::time_point deadline;
    bool dropped = false;
  };

  void setDeadline(MHD_Connection* connection, std::chrono::seconds from_now) {
    std::lock_guard lock(mutex_);
    if (auto it = open_.find(connection); it != open_.end()) it->second.deadline = Clock::now() + from_now;
  }

  // Ends connections past their deadline. shutdown() rather than close(): the
  // library sees the end, closes the socket itself and tells us before the
  // descriptor can be reused, under the same lock.
  void watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      wake_.wait_for(lock, std::chrono::milliseconds(200));
      const auto now = Clock::now();
      for (auto& [connection, tracked] : open_) {
        if (tracked.dropped || tracked.deadline > now) continue;
        ::shutdown(tracked.fd, SHUT_RDWR);
        tracked.dropped = true;
      }
    }
  }

  static void connectionEvent(void* cls, MHD_Connection* connection, void** /*socket_context*/,
                              MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<Impl*>(cls);
    std::lock_guard lock(self->mutex_);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info) self->open_[connection] = {info->connect_fd, Clock::now() + self->limits_.head};
    } else {
      self->open_.erase(connection);
    }
  }

  static void* uriSeen(void* /*cls*/, const char* uri, MHD_Connection* /*connection*/) {
    return new RequestState{uri ? uri : "", std::nullopt};
  }

  static void completed(void* cls, MHD_Connection* connection, void** context,
                        MHD_RequestTerminationCode /*code*/) {
    delete static_cast<RequestState*>(*context);
    *context = nullptr;
    auto* self = static_cast<Impl*>(cls);
    self->setDeadline(connection, self->limits_.head);  // for the next request on the connection
  }

  static MHD_Result access(void* cls, MHD_Connection* connection, const char* /*url*/, const char* method,
                           const char* version, const char* /*upload_data*/, size_t* upload_size,
                           void** context) {
    auto* self = static_cast<Impl*>(cls);
    auto* state = static_cast<RequestState*>(*context);
    if (!state) return MHD_NO;
    if (state->answer) {
      // The library asks again once the request is whole. A body never is
      // part of one: a request announcing it was refused at its head.
      if (*upload_size != 0) return MHD_NO;
      const bool queued = queue(connection, *state->answer);
      state->answer.reset();
      return queued ? MHD_YES : MHD_NO;
    }
    self->setDeadline(connection, self->limits_.answer);
    HttpRequest request{method, state->target, version, {}};
    MHD_get_connection_values_n(
        connection, MHD_HEADER_KIND,
        [](void* headers, MHD_ValueKind, const char* key, size_t keySize, const char* value, size_t valueSize) {
          static_cast<HttpRequest*>(headers)->headers.emplace_back(std::string_view(key, keySize),
                                                                   std::string_view(value ? value : "", valueSize));
          return MHD_YES;
        },
        &request);
    try {
      state->answer = self->handler_(request);
    } catch (const std::exception&) {
      state->answer = HttpResponse{500, {}, nullptr, true};
    }
    // An answer that closes goes out at once: the library then reads nothing
    // more of the connection (no body, no next request). Any other waits for
    // the library's next call, which keeps the connection open for another.
    if (!state->answer->close) return MHD_YES;
    const bool queued = queue(connection, *state->answer);
    state->answer.reset();
    return queued ? MHD_YES : MHD_NO;
  }

  static bool queue(MHD_Connection* connection, const HttpResponse& answer) {
    MHD_Response* response;
    if (answer.body && !answer.body->empty()) {
      auto* keep = new std::shared_ptr<const std::string>(answer.body);
      response = MHD_create_response_from_buffer_with_free_callback_cls(
          answer.body->size(), const_cast<char*>(answer.body->data()),
          [](void* kept) { delete static_cast<std::shared_ptr<const std::string>*>(kept); }, keep);
      if (!response) delete keep;
    } else {
      response = MHD_create_response_from_buffer(0, const_cast<char*>(""), MHD_RESPMEM_PERSISTENT);
    }
    if (!response) return false;
    for (const auto& [name, value] : answer.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    if (answer.close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const bool queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response) == MHD_YES;
    MHD_destroy_response(response);
    return queued;
  }

  HttpHandler handler_;
  HttpLimits limits_;
  MHD_Daemon* daemon_ = nullptr;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::unordered_map<MHD_Connection*, Tracked> open_;
  bool stopping_ = false;
  std::thread watchdog_;
};

HttpServer::HttpServer(Listener listener, HttpHandler handler, HttpLimits limits)
    : impl_(std::make_unique<Impl>(std::move(listener), std::move(handler), limits)) {}

HttpServer::~HttpServer() = default;

}  // namespace velprobe::serve
