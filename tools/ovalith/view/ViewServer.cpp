// The viewer's server on civetweb (see ViewServer.h).
#include "ViewServer.h"

#include "ViewPage.h"

#include <civetweb.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>

namespace ovalith_view {
namespace {

// Longest command text a page may send.
constexpr size_t kMaxCommand = 4096;

bool Is(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }

}  // namespace

// One connected page: what waits to go out to it, and the thread that sends it.
struct ViewServer::Client {
  mg_connection* connection = nullptr;
  std::mutex mutex;  // guards the fields below
  std::condition_variable wake;
  std::vector<Message> frames;    // the newest unsent frame of each stream
  std::vector<std::string> texts;  // replies, in order
  std::string state;               // the newest unsent state
  bool closed = false;
  std::thread writer;

  void Queue(std::string text, bool isState) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (isState) {
        state = std::move(text);
      } else {
        texts.push_back(std::move(text));
      }
    }
    wake.notify_one();
  }

  void Write() {
    bool broken = false;
    for (;;) {
      std::vector<Message> sending;
      std::vector<std::string> sendingTexts;
      {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [this] {
          return closed || !texts.empty() || !state.empty() ||
                 std::any_of(frames.begin(), frames.end(), [](const Message& m) { return m != nullptr; });
        });
        if (closed) return;
        sendingTexts.swap(texts);
        if (!state.empty()) sendingTexts.push_back(std::move(state));
        state.clear();
        for (Message& frame : frames) {
          if (frame) sending.push_back(std::move(frame));
          frame = nullptr;
        }
      }
      // A connection that failed a write is going away; its close handler
      // ends this thread.
      for (const std::string& text : sendingTexts) {
        broken = broken || mg_websocket_write(connection, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size()) <= 0;
      }
      for (const Message& frame : sending) {
        broken = broken || mg_websocket_write(connection, MG_WEBSOCKET_OPCODE_BINARY,
                                              reinterpret_cast<const char*>(frame->data()), frame->size()) <= 0;
      }
    }
  }

  void Close() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      closed = true;
    }
    wake.notify_one();
    if (writer.joinable()) writer.join();
  }
};

ViewServer::~ViewServer() { Stop(); }

bool ViewServer::Start(ViewSession* session, const std::string& bind, uint16_t port, std::string* address) {
  session_ = session;
  mg_init_library(0);
  const std::string listen = bind + ":" + std::to_string(port);
  const char* options[] = {"listening_ports", listen.c_str(), "num_threads", "16", "request_timeout_ms", "10000",
                           "websocket_timeout_ms", "60000", "enable_websocket_ping_pong", "yes",
                           "enable_keep_alive", "yes", nullptr};
  mg_callbacks callbacks = {};
  context_ = mg_start(&callbacks, this, options);
  if (context_ == nullptr) {
    std::fprintf(stderr, "ovalith: cannot listen on %s\n", listen.c_str());
    mg_exit_library();
    return false;
  }
  mg_set_request_handler(context_, "/", HandleRequest, this);
  mg_set_websocket_handler(context_, "/ws", HandleConnect, HandleReady, HandleData, HandleClose, this);
  mg_server_port ports[4] = {};
  const int count = mg_get_server_ports(context_, 4, ports);
  const int actual = count > 0 ? ports[0].port : port;
  *address = "http://" + bind + ":" + std::to_string(actual) + "/";
  return true;
}

void ViewServer::Stop() {
  if (context_ == nullptr) return;
  // Writers stop before civetweb lets go of their connections.
  std::vector<std::shared_ptr<Client>> clients;
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    clients = clients_;
  }
  for (const auto& client : clients) client->Close();
  mg_stop(context_);
  context_ = nullptr;
  mg_exit_library();
  std::lock_guard<std::mutex> lock(clientsMutex_);
  clients_.clear();
}

void ViewServer::PublishFrame(size_t stream, const Message& message) {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  for (const auto& client : clients_) {
    {
      std::lock_guard<std::mutex> clientLock(client->mutex);
      if (client->frames.size() <= stream) client->frames.resize(stream + 1);
      client->frames[stream] = message;
    }
    client->wake.notify_one();
  }
}

void ViewServer::PublishText(const std::string& text) {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  for (const auto& client : clients_) client->Queue(text, true);
}

int ViewServer::HandleRequest(mg_connection* connection, void* server) {
  const mg_request_info* request = mg_get_request_info(connection);
  if (!Is(request->request_method, "GET") && !Is(request->request_method, "HEAD")) {
    mg_response_header_start(connection, 405);
    mg_response_header_add(connection, "Allow", "GET, HEAD", -1);
    mg_response_header_add(connection, "Content-Length", "0", -1);
    mg_response_header_send(connection);
    return 405;
  }
  const char* path = request->local_uri != nullptr ? request->local_uri : "";
  std::string state;
  const char* type = nullptr;
  const void* body = nullptr;
  size_t size = 0;
  if (Is(path, "/api/state")) {
    state = static_cast<ViewServer*>(server)->session_->State();
    type = "application/json";
    body = state.data();
    size = state.size();
  } else if (const PageFile* file = FindPageFile(path)) {
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
  mg_response_header_send(connection);
  if (!Is(request->request_method, "HEAD")) mg_write(connection, body, size);
  return 200;
}

int ViewServer::HandleConnect(const mg_connection* connection, void*) {
  // A page of another origin may not connect; tools without an Origin may.
  const char* origin = mg_get_header(connection, "Origin");
  const char* host = mg_get_header(connection, "Host");
  if (origin == nullptr) return 0;
  return host != nullptr && std::string(origin) == std::string("http://") + host ? 0 : 1;
}

void ViewServer::HandleReady(mg_connection* connection, void* server) {
  auto* self = static_cast<ViewServer*>(server);
  auto client = std::make_shared<Client>();
  client->connection = connection;
  client->state = self->session_->State();
  mg_set_user_connection_data(connection, client.get());
  client->writer = std::thread([raw = client.get()] { raw->Write(); });
  std::lock_guard<std::mutex> lock(self->clientsMutex_);
  self->clients_.push_back(std::move(client));
}

int ViewServer::HandleData(mg_connection* connection, int flags, char* data, size_t size, void* server) {
  auto* self = static_cast<ViewServer*>(server);
  const int opcode = flags & 0xf;
  if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
  if (opcode != MG_WEBSOCKET_OPCODE_TEXT) return 1;
  std::shared_ptr<Client> client;
  {
    std::lock_guard<std::mutex> lock(self->clientsMutex_);
    auto* raw = static_cast<Client*>(mg_get_user_connection_data(connection));
    for (const auto& each : self->clients_) {
      if (each.get() == raw) client = each;
    }
  }
  if (!client) return 0;
  if (size > kMaxCommand) {
    client->Queue("{\"type\":\"reply\",\"command\":\"\",\"ok\":false,\"status\":\"command too long\"}", false);
    return 1;
  }
  const std::string command(data, size);
  if (command == "ping") return 1;
  std::weak_ptr<Client> weak = client;
  self->session_->Post(command, [weak](const std::string& reply) {
    if (auto alive = weak.lock()) alive->Queue(reply, false);
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
