// The viewer's server on civetweb (see ViewServer.h).
#include "ViewServer.h"

#include "ViewFrameQueue.h"
#include "ViewPage.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace ovalith_view {
namespace {

using Clock = std::chrono::steady_clock;

// Longest command text a page may send (all its fragments together).
constexpr size_t kMaxCommand = 4096;
// Bytes a client may have sent past its last whole WebSocket frame. civetweb
// reads a frame whole, however long its header says it is, before the
// handlers see it; the watch thread ends a client whose frame in progress
// grows past this (commands are at most kMaxCommand bytes).
constexpr uint64_t kMaxUnfinishedInput = 1u << 20;
// How often the watch thread looks at the clients.
constexpr std::chrono::milliseconds kWatchPeriod{2};
// State texts a client may leave unanswered before the idle timeout drops it
// (states go out once a second; this only bounds the bookkeeping).
constexpr size_t kMaxUnreadStates = 4096;
// Worker threads kept for page files and the API beyond the WebSocket clients.
constexpr size_t kHttpThreads = 8;
// WebSocket close codes (RFC 6455): the server is going away; try again later.
constexpr uint16_t kCloseGoingAway = 1001;
constexpr uint16_t kCloseTryAgainLater = 1013;
// Where the page file index.html takes the token.
const char kTokenMark[] = "@OVALITH_TOKEN@";
// A connection's data once HandleBegin has seen its request.
int kAnswered = 0;

bool Is(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// 128 random bits in hex; empty when the system has no randomness to give.
std::string RandomToken() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof(bytes)) {
    const ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (n <= 0) return std::string();
    got += static_cast<size_t>(n);
  }
  std::string token;
  char hex[3];
  for (unsigned char b : bytes) {
    std::snprintf(hex, sizeof(hex), "%02x", b);
    token += hex;
  }
  return token;
}

// Compares in time independent of where the texts differ.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

// The token of a query string "token=...&...", or empty.
std::string TokenOf(const char* query) {
  if (query == nullptr) return std::string();
  const std::string text = query;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t end = std::min(text.find('&', at), text.size());
    if (text.compare(at, 6, "token=") == 0) return text.substr(at + 6, end - at - 6);
    at = end + 1;
  }
  return std::string();
}

// The socket of a connection civetweb is serving: the one whose peer is the
// request's remote address and port on the server's port. civetweb does not
// hand out its sockets, and the server must be able to end a connection
// whose peer neither reads nor writes. -1 when not found.
int FindSocket(const mg_request_info* request) {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int found = -1;
  while (const dirent* entry = readdir(folder)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    struct stat info = {};
    if (fstat(static_cast<int>(fd), &info) != 0 || !S_ISSOCK(info.st_mode)) continue;
    sockaddr_in peer = {}, local = {};
    socklen_t peerSize = sizeof(peer), localSize = sizeof(local);
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
        getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        peer.sin_family != AF_INET || local.sin_family != AF_INET) {
      continue;
    }
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof(address));
    if (ntohs(peer.sin_port) == request->remote_port && ntohs(local.sin_port) == request->server_port &&
        std::strcmp(address, request->remote_addr) == 0) {
      found = static_cast<int>(fd);
      break;
    }
  }
  closedir(folder);
  return found;
}

// Bytes the system has received on a TCP socket since it was opened (0
// when it cannot say).
uint64_t ReceivedBytes(int socket) {
  tcp_info info = {};
  socklen_t size = sizeof(info);
  if (socket < 0 || getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_bytes_received) + sizeof(info.tcpi_bytes_received)) {
    return 0;
  }
  return info.tcpi_bytes_received;
}

void SendStatus(mg_connection* connection, int status, const char* reason, const char* text) {
  // civetweb's header functions refuse a request that asks for a WebSocket:
  // the answer is written out whole, so every refusal has its status line.
  char head[256];
  const int length = std::snprintf(head, sizeof(head),
                                   "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                   "Content-Length: %zu\r\nConnection: close\r\n\r\n",
                                   status, reason, std::strlen(text));
  mg_write(connection, head, static_cast<size_t>(length));
  mg_write(connection, text, std::strlen(text));
}

bool IsLoopback(const char* address) {
  in_addr parsed = {};
  return address != nullptr && inet_pton(AF_INET, address, &parsed) == 1 &&
         (parsed.s_addr & htonl(0xff000000)) == htonl(0x7f000000);
}

// A WebSocket close message: the code, then the reason.
void SendClose(mg_connection* connection, uint16_t code, const std::string& reason) {
  std::string payload;
  payload += static_cast<char>(code >> 8);
  payload += static_cast<char>(code & 0xff);
  payload += reason.substr(0, 120);
  mg_websocket_write(connection, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, payload.data(), payload.size());
}

}  // namespace

// One connected page: what waits to go out to it, and the thread that sends it.
struct ViewServer::Client {
  mg_connection* connection = nullptr;
  std::string peer;      // "address:port", for the log
  int socket = -1;       // civetweb's; only shut down here, never closed
  bool mayCommand = false;
  std::atomic<int> inFlight{0};  // commands posted and not yet answered
  // Civetweb's reader thread only: a text message arriving in fragments.
  std::string fragments;
  bool fragmenting = false;
  bool oversize = false;

  std::mutex mutex;  // guards the fields below
  std::condition_variable wake;
  FrameQueue frames{kQueuedFramesPerStream};  // the frames not yet sent
  std::deque<std::string> texts;    // replies, in order
  std::string state;                // the newest unsent state
  bool closed = false;              // the close handler ran: the socket may be gone
  bool dropped = false;             // the server shut the connection down
  bool sending = false;             // the writer is in a send that began at sendStart
  Clock::time_point sendStart;
  // Reading is shown by answering state texts: "ping N" says the first N
  // state texts sent on this connection were read. When each one not yet
  // answered went out, oldest first (bounded: a client that answers
  // nothing is dropped long before).
  uint64_t statesSent = 0;
  uint64_t statesRead = 0;
  std::deque<Clock::time_point> unread;
  // Bytes the system has received on the socket when the last whole frame
  // reached the handlers (civetweb's reader thread writes it).
  std::atomic<uint64_t> delivered{0};
  std::mutex joinMutex;  // the close handler and Stop may both end the writer
  std::thread writer;

  // Ends the connection: civetweb's reader sees it closed and calls the
  // close handler. Holds mutex.
  void DropLocked(const std::string& why) {
    if (closed || dropped) return;
    dropped = true;
    std::fprintf(stderr, "ovalith view: page %s disconnected: %s\n", peer.c_str(), why.c_str());
    if (socket >= 0) shutdown(socket, SHUT_RDWR);
    wake.notify_one();
  }
  void Drop(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    DropLocked(why);
  }

  void Queue(std::string text, bool isState) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (dropped || closed) return;
      if (isState) {
        state = std::move(text);
      } else if (texts.size() >= kMaxQueuedReplies) {
        DropLocked("it does not read its replies (" + std::to_string(texts.size()) + " waiting)");
        return;
      } else {
        texts.push_back(std::move(text));
      }
    }
    wake.notify_one();
  }

  void Write() {
    for (;;) {
      std::vector<Message> sending;
      std::vector<std::string> sendingTexts;
      bool hasState = false;
      {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [this] {
          return closed || (!dropped && (!texts.empty() || !state.empty() || !frames.Empty()));
        });
        if (closed) return;
        sendingTexts.assign(std::make_move_iterator(texts.begin()), std::make_move_iterator(texts.end()));
        texts.clear();
        hasState = !state.empty();
        if (hasState) {
          // Counted before it goes out, so that its answer never comes first.
          sendingTexts.push_back(std::move(state));
          ++statesSent;
          if (unread.size() < kMaxUnreadStates) unread.push_back(Clock::now());
        }
        state.clear();
        sending = frames.TakeAll();
        this->sending = true;
        sendStart = Clock::now();
      }
      bool broken = false;
      for (const std::string& text : sendingTexts) {
        broken = broken || mg_websocket_write(connection, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size()) <= 0;
      }
      for (const Message& frame : sending) {
        broken = broken || mg_websocket_write(connection, MG_WEBSOCKET_OPCODE_BINARY,
                                              reinterpret_cast<const char*>(frame->data()), frame->size()) <= 0;
      }
      std::lock_guard<std::mutex> lock(mutex);
      this->sending = false;
      if (broken) DropLocked("a send failed");
    }
  }

  // "ping N" from the page: the first N state texts were read. A number
  // past those sent answers nothing.
  void StatesRead(uint64_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    if (count > statesSent) return;
    while (statesRead < count) {
      ++statesRead;
      if (!unread.empty()) unread.pop_front();
    }
  }

  // The close handler's: no more sends, the writer ends.
  void Close() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      closed = true;
    }
    wake.notify_one();
    std::lock_guard<std::mutex> lock(joinMutex);
    if (writer.joinable()) writer.join();
  }
};

ViewServer::~ViewServer() { Stop(); }

bool ViewServer::Start(ViewSession* session, const ServerOptions& options, std::string* address) {
  session_ = session;
  options_ = options;
  token_ = RandomToken();
  if (token_.empty()) {
    std::fprintf(stderr, "ovalith view: no random numbers for the page's token\n");
    return false;
  }
  const PageFile* index = FindPageFile("/index.html");
  index_.assign(reinterpret_cast<const char*>(index->data), index->size);
  const size_t mark = index_.find(kTokenMark);
  if (mark != std::string::npos) index_.replace(mark, std::strlen(kTokenMark), token_);
  // civetweb here listens on IPv4 addresses only; "localhost" is 127.0.0.1.
  const std::string bindAddress = Lower(options.bind) == "localhost" ? std::string("127.0.0.1") : options.bind;
  in_addr parsed = {};
  if (inet_pton(AF_INET, bindAddress.c_str(), &parsed) != 1) {
    std::fprintf(stderr,
                 "ovalith view: cannot listen on \"%s\": give an IPv4 address (127.0.0.1, 0.0.0.0, ...) or "
                 "localhost%s\n",
                 options.bind.c_str(),
                 options.bind.find(':') != std::string::npos ? "; this build's web server has no IPv6" : "");
    return false;
  }
  mg_init_library(0);
  const std::string listen = bindAddress + ":" + std::to_string(options.port);
  const std::string threads = std::to_string(options.maxPages + kHttpThreads);
  const char* civetOptions[] = {"listening_ports", listen.c_str(), "num_threads", threads.c_str(),
                                "request_timeout_ms", "10000", "websocket_timeout_ms", "60000",
                                "enable_websocket_ping_pong", "yes",
                                // A frame goes out as a header and a body:
                                // the body's last segment must not wait for
                                // the peer's delayed acknowledgement.
                                "tcp_nodelay", "1",
                                // One request per connection: a worker thread
                                // is never held by an idle browser connection.
                                "enable_keep_alive", "no",
                                // Paths are matched as spelled: no page path
                                // has an escape, so "/index.html%00.js" is none.
                                "decode_url", "no",
                                // No cross-origin sharing of anything.
                                "access_control_allow_origin", "", nullptr};
  mg_callbacks callbacks = {};
  callbacks.begin_request = HandleBegin;
  callbacks.connection_close = HandleConnectionClose;
  context_ = mg_start(&callbacks, this, civetOptions);
  if (context_ == nullptr) {
    std::fprintf(stderr, "ovalith: cannot listen on %s\n", listen.c_str());
    mg_exit_library();
    return false;
  }
  mg_set_request_handler(context_, "/", HandleRequest, this);
  mg_set_websocket_handler(context_, "/ws", HandleConnect, HandleReady, HandleData, HandleClose, this);
  mg_server_port ports[4] = {};
  const int count = mg_get_server_ports(context_, 4, ports);
  const int actual = count > 0 ? ports[0].port : options.port;
  const std::string port = ":" + std::to_string(actual);
  const bool loopback = (parsed.s_addr & htonl(0xff000000)) == htonl(0x7f000000);
  hosts_.clear();
  if (parsed.s_addr != htonl(INADDR_ANY)) hosts_ = {Lower(options.bind) + port, bindAddress + port};
  for (const std::string& name : options.allowHosts) hosts_.push_back(Lower(name) + port);
  loopbackHosts_ = {"localhost" + port, "127.0.0.1" + port, "[::1]" + port};
  if (actual == 80) {  // browsers leave the default port out
    for (std::vector<std::string>* names : {&hosts_, &loopbackHosts_}) {
      const size_t named = names->size();
      for (size_t i = 0; i < named; ++i) names->push_back((*names)[i].substr(0, (*names)[i].size() - port.size()));
    }
  }
  if (!loopback) {
    std::fprintf(stderr,
                 "ovalith view: warning: listening on %s, not only on this machine: anyone who can reach it on "
                 "the network and load the page can watch and control the sensor (change its settings, record "
                 "files into the record folder); pages reached by a name or address need --allow-host NAME\n",
                 bindAddress.c_str());
  }
  *address = "http://" + options.bind + port + "/";
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    stopping_ = false;
  }
  watcher_ = std::thread([this] { Watch(); });
  return true;
}

void ViewServer::Stop() {
  if (context_ == nullptr) return;
  std::vector<std::shared_ptr<Client>> clients;
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    stopping_ = true;
    clients = clients_;
  }
  stopWake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  // Connections are shut first, so no send waits for a tab that stopped
  // reading; writers stop before civetweb lets go of their connections.
  for (const auto& client : clients) client->Drop("the viewer stops");
  for (const auto& client : clients) client->Close();
  mg_stop(context_);
  context_ = nullptr;
  mg_exit_library();
  std::lock_guard<std::mutex> lock(clientsMutex_);
  clients_.clear();
}

void ViewServer::Watch() {
  std::unique_lock<std::mutex> lock(clientsMutex_);
  while (!stopWake_.wait_for(lock, kWatchPeriod, [this] { return stopping_; })) {
    const auto now = Clock::now();
    for (const auto& client : clients_) {
      std::lock_guard<std::mutex> clientLock(client->mutex);
      const uint64_t received = ReceivedBytes(client->socket);
      if (received > client->delivered.load() + kMaxUnfinishedInput) {
        client->DropLocked("it sent a message of more than " + std::to_string(kMaxUnfinishedInput >> 20) +
                           " MiB (commands are at most " + std::to_string(kMaxCommand) + " bytes)");
      } else if (client->sending && now - client->sendStart >= options_.idleTimeout) {
        client->DropLocked("it read nothing for " + std::to_string(options_.idleTimeout.count()) + " s");
      } else if (!client->unread.empty() && now - client->unread.front() >= options_.idleTimeout) {
        client->DropLocked("it answered no state for " + std::to_string(options_.idleTimeout.count()) + " s");
      }
    }
  }
}

void ViewServer::PublishFrame(size_t stream, const Message& message) {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  if (latest_.size() <= stream) latest_.resize(stream + 1);
  latest_[stream] = message;
  for (const auto& client : clients_) {
    {
      std::lock_guard<std::mutex> clientLock(client->mutex);
      client->frames.Push(stream, message);
    }
    client->wake.notify_one();
  }
}

void ViewServer::PublishText(const std::string& text) {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  for (const auto& client : clients_) client->Queue(text, true);
}

bool ViewServer::HostAllowed(const char* host, const char* peer) const {
  if (host == nullptr) return false;
  const std::string name = Lower(host);
  if (std::find(hosts_.begin(), hosts_.end(), name) != hosts_.end()) return true;
  // This machine's own names, only from this machine: a peer on the network
  // that says it asked for 127.0.0.1 did not.
  return IsLoopback(peer) && std::find(loopbackHosts_.begin(), loopbackHosts_.end(), name) != loopbackHosts_.end();
}

bool ViewServer::OriginAllowed(const char* origin, const char* peer) const {
  if (origin == nullptr) return true;  // not a browser's cross-origin request
  const std::string text = Lower(origin);
  return text.compare(0, 7, "http://") == 0 && HostAllowed(text.c_str() + 7, peer);
}

// Every request for a path passes here first, the WebSocket's too.
int ViewServer::HandleBegin(mg_connection* connection) {
  const mg_request_info* request = mg_get_request_info(connection);
  mg_set_user_connection_data(connection, &kAnswered);
  auto* self = static_cast<ViewServer*>(request->user_data);
  const char* host = mg_get_header(connection, "Host");
  const char* origin = mg_get_header(connection, "Origin");
  if (!self->HostAllowed(host, request->remote_addr)) {
    std::fprintf(stderr, "ovalith view: refused a request from %s for host \"%s\" (421)\n", request->remote_addr,
                 host != nullptr ? host : "");
    SendStatus(connection, 421, "Misdirected Request", "Misdirected request: not a name of this viewer\n");
    return 421;
  }
  if (!self->OriginAllowed(origin, request->remote_addr)) {
    std::fprintf(stderr, "ovalith view: refused a request from %s by a page of \"%s\" (403)\n",
                 request->remote_addr, origin);
    SendStatus(connection, 403, "Forbidden", "Forbidden: a page of another site\n");
    return 403;
  }
  if (request->request_uri == nullptr || request->request_uri[0] != '/') {
    SendStatus(connection, 400, "Bad Request", "Bad request: not a path of this server\n");
    return 400;
  }
  return 0;
}

// civetweb drops a request for no path of its own ("*", an absolute URI of
// another host) without a word; it is answered 400 here, as the connection
// closes (one request per connection, so it was the only one).
void ViewServer::HandleConnectionClose(const mg_connection* connection) {
  const mg_request_info* request = mg_get_request_info(connection);
  if (request == nullptr || request->request_uri == nullptr || request->local_uri != nullptr ||
      mg_get_user_connection_data(connection) != nullptr) {
    return;
  }
  if (request->request_uri[0] != '*' && std::strstr(request->request_uri, "://") == nullptr) return;
  // Written out whole: civetweb's header functions would keep their copies
  // past the connection's end.
  static const char kAnswer[] =
      "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 39\r\n"
      "Connection: close\r\n\r\nBad request: not a path of this server\n";
  mg_write(const_cast<mg_connection*>(connection), kAnswer, sizeof(kAnswer) - 1);
}

int ViewServer::HandleRequest(mg_connection* connection, void* server) {
  auto* self = static_cast<ViewServer*>(server);
  const mg_request_info* request = mg_get_request_info(connection);
  if (!Is(request->request_method, "GET") && !Is(request->request_method, "HEAD")) {
    mg_response_header_start(connection, 405);
    mg_response_header_add(connection, "Allow", "GET, HEAD", -1);
    mg_response_header_add(connection, "Content-Length", "0", -1);
    mg_response_header_send(connection);
    return 405;
  }
  // The decoded path stops at an encoded NUL ("%00"): a path is only what
  // the request spelled out, so such a path matches nothing.
  const char* raw = request->request_uri != nullptr ? request->request_uri : "";
  const char* path = request->local_uri != nullptr ? request->local_uri : "";
  const size_t spelled = std::strcspn(raw, "?");
  const bool plain = std::strchr(path, '%') == nullptr && std::strlen(path) == spelled &&
                     std::strncmp(raw, path, spelled) == 0;
  std::string state;
  const char* type = nullptr;
  const void* body = nullptr;
  size_t size = 0;
  const PageFile* file = plain ? FindPageFile(path) : nullptr;
  if (plain && Is(path, "/api/state")) {
    state = self->session_->State();
    type = "application/json";
    body = state.data();
    size = state.size();
  } else if (file != nullptr && Is(file->path, "/index.html")) {
    type = file->contentType;
    body = self->index_.data();
    size = self->index_.size();
  } else if (file != nullptr) {
    type = file->contentType;
    body = file->data;
    size = file->size;
  } else {
    mg_send_http_error(connection, 404, "%s", "Not found");
    return 404;
  }
  mg_response_header_start(connection, 200);
  mg_response_header_add(connection, "Content-Type", type, -1);
  mg_response_header_add(connection, "Content-Length", std::to_string(size).c_str(), -1);
  mg_response_header_add(connection, "Cache-Control", "no-store", -1);
  mg_response_header_add(connection, "X-Content-Type-Options", "nosniff", -1);
  mg_response_header_add(connection, "X-Frame-Options", "DENY", -1);
  mg_response_header_send(connection);
  if (!Is(request->request_method, "HEAD")) mg_write(connection, body, size);
  return 200;
}

int ViewServer::HandleConnect(const mg_connection* connection, void* server) {
  auto* self = static_cast<ViewServer*>(server);
  // HandleBegin has checked Host and Origin; checked again, as the handshake
  // is what the checks are for.
  const char* peer = mg_get_request_info(connection)->remote_addr;
  if (!self->HostAllowed(mg_get_header(connection, "Host"), peer) ||
      !self->OriginAllowed(mg_get_header(connection, "Origin"), peer)) {
    return 1;
  }
  const bool token = SameSecret(TokenOf(mg_get_request_info(connection)->query_string), self->token_);
  // Until HandleReady, the connection's data is only this mark.
  static int mayCommand = 0;
  mg_set_user_connection_data(connection, token ? &mayCommand : nullptr);
  return 0;
}

void ViewServer::HandleReady(mg_connection* connection, void* server) {
  auto* self = static_cast<ViewServer*>(server);
  const mg_request_info* request = mg_get_request_info(connection);
  auto client = std::make_shared<Client>();
  client->connection = connection;
  client->mayCommand = mg_get_user_connection_data(connection) != nullptr;
  client->peer = std::string(request->remote_addr) + ":" + std::to_string(request->remote_port);
  client->socket = FindSocket(request);
  client->delivered.store(ReceivedBytes(client->socket));  // the handshake
  mg_set_user_connection_data(connection, client.get());
  std::lock_guard<std::mutex> lock(self->clientsMutex_);
  const size_t open = static_cast<size_t>(std::count_if(
      self->clients_.begin(), self->clients_.end(), [](const std::shared_ptr<Client>& each) {
        std::lock_guard<std::mutex> clientLock(each->mutex);
        return !each->dropped;
      }));
  if (self->stopping_ || open >= self->options_.maxPages) {
    const std::string why = self->stopping_ ? "the viewer stops"
                                            : "too many viewer pages open (" + std::to_string(open) +
                                                  "); close one and reload";
    SendClose(connection, self->stopping_ ? kCloseGoingAway : kCloseTryAgainLater, why);
    // Kept in the list (without a writer) until its close handler runs.
    client->Drop(why);
    self->clients_.push_back(std::move(client));
    return;
  }
  client->state = self->session_->State();
  for (size_t stream = 0; stream < self->latest_.size(); ++stream) {
    if (self->latest_[stream]) client->frames.Push(stream, self->latest_[stream]);
  }
  client->writer = std::thread([raw = client.get()] { raw->Write(); });
  self->clients_.push_back(std::move(client));
  self->session_->PageConnected();
}

std::shared_ptr<ViewServer::Client> ViewServer::FindClient(const mg_connection* connection) {
  auto* raw = static_cast<Client*>(mg_get_user_connection_data(connection));
  std::lock_guard<std::mutex> lock(clientsMutex_);
  for (const auto& each : clients_) {
    if (each.get() == raw) return each;
  }
  return nullptr;
}

int ViewServer::HandleData(mg_connection* connection, int flags, char* data, size_t size, void* server) {
  auto* self = static_cast<ViewServer*>(server);
  const int opcode = flags & 0xf;
  const bool final = (flags & 0x80) != 0;
  std::shared_ptr<Client> client = self->FindClient(connection);
  if (!client) return 0;
  // The frame is whole: its bytes (the header as a client writes it, masked,
  // and the payload) are accounted for.
  const uint64_t header = 2 + 4 + (size < 126 ? 0 : size <= 0xffff ? 2 : 8);
  client->delivered.fetch_add(header + size);
  if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
  if (opcode == MG_WEBSOCKET_OPCODE_PING || opcode == MG_WEBSOCKET_OPCODE_PONG) return 1;
  {
    std::lock_guard<std::mutex> lock(client->mutex);
    if (client->dropped) return 0;
  }
  // A text message may come in fragments: a first frame without the final
  // bit, then continuations. They are joined; binary messages are ignored.
  if (opcode == MG_WEBSOCKET_OPCODE_TEXT) {
    client->fragments.clear();
    client->oversize = false;
  } else if (opcode != MG_WEBSOCKET_OPCODE_CONTINUATION || !client->fragmenting) {
    return 1;
  }
  if (client->oversize || client->fragments.size() + size > kMaxCommand) {
    client->oversize = true;
    client->fragments.clear();
  } else {
    client->fragments.append(data, size);
  }
  client->fragmenting = !final;
  if (client->fragmenting) return 1;
  const std::string command = std::move(client->fragments);
  client->fragments.clear();
  if (client->oversize) {
    client->Queue("{\"type\":\"reply\",\"command\":\"\",\"ok\":false,\"status\":\"command too long\"}", false);
    return 1;
  }
  if (command.compare(0, 5, "ping ") == 0) {
    char* end = nullptr;
    const unsigned long long count = std::strtoull(command.c_str() + 5, &end, 10);
    if (end != command.c_str() + 5 && *end == '\0' && std::isdigit(static_cast<unsigned char>(command[5]))) {
      client->StatesRead(count);
    }
    return 1;
  }
  if (command == "ping") return 1;
  if (!client->mayCommand) {
    client->Queue("{\"type\":\"reply\",\"command\":\"\",\"ok\":false,\"status\":\"this connection may only watch: "
                  "commands need the page's token\"}",
                  false);
    return 1;
  }
  if (client->inFlight.fetch_add(1) >= kMaxCommandsInFlight) {
    client->Drop("it sent commands faster than they run (" + std::to_string(kMaxCommandsInFlight) + " waiting)");
    return 0;
  }
  std::weak_ptr<Client> weak = client;
  self->session_->Post(command, [weak](const std::string& reply) {
    if (auto alive = weak.lock()) {
      alive->inFlight.fetch_sub(1);
      alive->Queue(reply, false);
    }
  });
  return 1;
}

void ViewServer::HandleClose(const mg_connection* connection, void* server) {
  auto* self = static_cast<ViewServer*>(server);
  auto* raw = static_cast<Client*>(mg_get_user_connection_data(connection));
  std::shared_ptr<Client> client;
  {
    std::lock_guard<std::mutex> lock(self->clientsMutex_);
    auto found = std::find_if(self->clients_.begin(), self->clients_.end(),
                              [raw](const std::shared_ptr<Client>& each) { return each.get() == raw; });
    if (found == self->clients_.end()) return;
    client = *found;
    self->clients_.erase(found);
  }
  client->Close();
}

}  // namespace ovalith_view
