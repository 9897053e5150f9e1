// ViewServer: the viewer's HTTP and WebSocket server (civetweb).
//
// It serves the built-in page (GET "/", "/viewer.js", ...), the last state
// text at GET "/api/state", and the WebSocket "/ws" on which the page
// receives frames as binary messages (ViewFrames.h) and state and replies as
// JSON texts, and sends its commands (ViewSession.h). Every other path is
// 404, every other method 405; civetweb itself refuses requests it cannot
// parse with 400. A WebSocket whose Origin is not this server's own page is
// refused, so another site open in the same browser cannot drive the device.
//
// Each page connected (a "client") has its own writer thread, so a slow or
// vanished tab holds up no one else: the newest frame of each stream waits
// in the client's slot, and a frame replaced before it went out is dropped
// for that client only (the page sees the gap in frame ids). Nothing the
// HTTP threads do waits for the device: commands are queued to the session,
// whose reply goes to the asking client's queue.
//
// Threads: PublishFrame and PublishText come from the session's thread;
// civetweb calls the handlers on its worker threads; Start and Stop are the
// owner's. Ownership: the server owns its clients and their threads; the
// session is the caller's and must outlive Stop.
#pragma once

#include "ViewSession.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct mg_context;
struct mg_connection;

namespace ovalith_view {

class ViewServer : public FrameSink {
 public:
  ViewServer() = default;
  ~ViewServer() override;
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;

  // Listens on bind:port (port 0: a free one); *address becomes
  // "http://bind:port/". False after a report on standard error.
  bool Start(ViewSession* session, const std::string& bind, uint16_t port, std::string* address);
  // Disconnects every client and stops listening.
  void Stop();

  void PublishFrame(size_t stream, const Message& message) override;
  void PublishText(const std::string& text) override;

  struct Client;

 private:
  static int HandleRequest(mg_connection* connection, void* server);
  static int HandleConnect(const mg_connection* connection, void* server);
  static void HandleReady(mg_connection* connection, void* server);
  static int HandleData(mg_connection* connection, int flags, char* data, size_t size, void* server);
  static void HandleClose(const mg_connection* connection, void* server);

  ViewSession* session_ = nullptr;
  mg_context* context_ = nullptr;
  std::mutex clientsMutex_;  // guards clients_
  std::vector<std::shared_ptr<Client>> clients_;
};

}  // namespace ovalith_view
