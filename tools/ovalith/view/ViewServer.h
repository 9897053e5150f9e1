// ViewServer: the viewer's HTTP and WebSocket server (civetweb).
//
// It serves the built-in page (GET "/", "/viewer.js", ...), the last state
// text at GET "/api/state", and the WebSocket "/ws" on which the page
// receives frames as binary messages (ViewFrames.h) and state and replies as
// JSON texts, and sends its commands (ViewSession.h). Every other path is
// 404, every other method 405; a request that does not name a path of this
// server (an absolute URI, "*") is 400, and so is what civetweb cannot parse.
//
// Who may talk to it (docs/viewer.md, "Security"): a request whose Host is
// not one of this server's own names (the bound address, a name given with
// --allow-host, and from this machine's own peers localhost, 127.0.0.1 and
// [::1], each with the port) gets 421, so a page whose domain name was rebound to this address cannot
// read or drive it; one whose Origin is not such a name gets 403. Both are
// logged. The page carries a random token made for this run; only a
// WebSocket that presents it ("/ws?token=...") may send commands, others
// receive frames and state only.
//
// Each page connected (a "client") has its own writer thread, so a slow or
// vanished tab holds up no one else: the frames not yet sent wait in the
// client's queue, in the order they came, at most kQueuedFramesPerStream of
// each stream, so a send that stalls for a few frame intervals (the browser
// busy, the writer thread not scheduled) loses nothing; past that the
// oldest waiting frame of the stream is dropped for that client only (the
// page sees the gap in frame ids). A new client starts with the newest
// frame of every stream. Nothing the HTTP threads do
// waits for the device: commands are queued to the session, whose reply goes
// to the asking client's queue. Every client is bounded: at most
// kMaxCommandsInFlight commands waiting and kMaxQueuedReplies replies unsent,
// past which it is disconnected; a client whose send has not completed for
// the idle timeout, or that has not answered a state text sent that long ago
// ("ping N": the first N state texts were read), reads nothing and is
// disconnected; so is one that has sent more than a MiB past its last whole
// WebSocket frame (civetweb reads a frame whole before the handlers see
// it); no more than
// maxPages clients at a time (the next is closed with code 1013 and the
// reason), so worker threads stay free for pages and the API.
//
// Threads: PublishFrame and PublishText come from the session's thread;
// civetweb calls the handlers on its worker threads; a watch thread of the
// server looks for idle clients; Start and Stop are the owner's. Ownership:
// the server owns its clients and their threads; the session is the caller's
// and must outlive Stop.
#pragma once

#include "ViewSession.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mg_context;
struct mg_connection;

namespace ovalith_view {

// Commands a client may have waiting for the session at once.
constexpr int kMaxCommandsInFlight = 64;
// Replies that may wait unsent for one client.
constexpr size_t kMaxQueuedReplies = 64;
// Frames of one stream that may wait unsent for one client (four frame
// intervals at 30 fps).
constexpr size_t kQueuedFramesPerStream = 8;

struct ServerOptions {
  std::string bind = "127.0.0.1";  // an IPv4 address, or "localhost"
  uint16_t port = 8080;            // 0: a free one
  std::vector<std::string> allowHosts;  // more names a Host may give
  size_t maxPages = 16;                 // WebSocket clients at a time
  std::chrono::seconds idleTimeout{10};  // a send stuck, or a state unanswered, this long drops the client
};

class ViewServer : public FrameSink {
 public:
  ViewServer() = default;
  ~ViewServer() override;
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;

  // Listens as options say; *address becomes "http://host:port/". False
  // after a report on standard error.
  bool Start(ViewSession* session, const ServerOptions& options, std::string* address);
  // Disconnects every client and stops listening.
  void Stop();

  void PublishFrame(size_t stream, const Message& message) override;
  void PublishText(const std::string& text) override;

  struct Client;

 private:
  static int HandleBegin(mg_connection* connection);
  static void HandleConnectionClose(const mg_connection* connection);
  static int HandleRequest(mg_connection* connection, void* server);
  static int HandleConnect(const mg_connection* connection, void* server);
  static void HandleReady(mg_connection* connection, void* server);
  static int HandleData(mg_connection* connection, int flags, char* data, size_t size, void* server);
  static void HandleClose(const mg_connection* connection, void* server);

  // Whether a Host or Origin header names this server (see above).
  // The loopback names count only from a peer on this machine (peer: the
  // request's remote address).
  bool HostAllowed(const char* host, const char* peer) const;
  bool OriginAllowed(const char* origin, const char* peer) const;
  std::shared_ptr<Client> FindClient(const mg_connection* connection);
  void Watch();

  ViewSession* session_ = nullptr;
  ServerOptions options_;
  std::vector<std::string> hosts_;  // "name:port" as a Host header gives it, lower case
  std::vector<std::string> loopbackHosts_;  // this machine's own names, taken from its own peers only
  std::string token_;               // this run's command token
  std::string index_;               // index.html with the token in it
  mg_context* context_ = nullptr;
  std::mutex clientsMutex_;  // guards the fields below
  std::vector<std::shared_ptr<Client>> clients_;
  std::vector<Message> latest_;  // the newest frame of each stream
  std::string latestState_;
  bool stopping_ = false;
  std::condition_variable stopWake_;
  std::thread watcher_;
};

}  // namespace ovalith_view
