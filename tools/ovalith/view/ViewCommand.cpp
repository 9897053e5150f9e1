// ovalith view: opens the device, serves the page until Ctrl+C.
#include "ViewCommand.h"

#include "ViewServer.h"
#include "ViewSession.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <cstdio>
#include <memory>

namespace ovalith_tool {
namespace {

struct ViewCommandOptions {
  ovalith_view::ViewOptions view;
  std::string bind = "127.0.0.1";
  uint16_t port = 8080;
};

int RunView(const ViewCommandOptions& options) {
  ovalith_view::ViewServer server;
  ovalith_view::ViewSession session(options.view, &server);
  if (!session.Open()) return kExitFailed;
  // Ctrl+C or a termination request ends the run; they are taken from one
  // waiting thread, so the server's threads never see them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  std::string address;
  if (!server.Start(&session, options.bind, options.port, &address)) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return kExitFailed;
  }
  session.Start();
  std::printf("ovalith view: serving %s on %s (Ctrl+C stops)\n", options.view.file.empty() ? "the sensor" : options.view.file.c_str(), address.c_str());
  std::fflush(stdout);
  int received = 0;
  sigwait(&signals, &received);
  // The device first: a recording in progress is finished and closed.
  session.Stop();
  // A tab that stopped reading can hold a connection's write for as long as
  // the socket allows; the stop does not wait for it past a few seconds.
  std::mutex stopMutex;
  std::condition_variable stopped;
  bool serverStopped = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(stopMutex);
    if (!stopped.wait_for(lock, std::chrono::seconds(5), [&] { return serverStopped; })) {
      std::fprintf(stderr, "ovalith view: a connection did not close in time; stopped without it\n");
      std::printf("ovalith view: stopped\n");
      std::fflush(stdout);
      std::_Exit(kExitOk);
    }
  });
  server.Stop();
  {
    std::lock_guard<std::mutex> lock(stopMutex);
    serverStopped = true;
  }
  stopped.notify_all();
  watchdog.join();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  std::printf("ovalith view: stopped\n");
  return kExitOk;
}

}  // namespace

void AddViewCommand(CLI::App& app, Command* command) {
  auto options = std::make_shared<ViewCommandOptions>();
  CLI::App* view = app.add_subcommand("view", "show a sensor or a recording live in the browser");
  CLI::Option* device = view->add_option("--device", options->view.connection, "connection string (default *:0)");
  view->add_option("--file", options->view.file, "a recording to play")->excludes(device);
  view->add_option("--streams", options->view.streams, "sensor streams to show")
      ->delimiter(',')
      ->check(CLI::IsMember(kStreamOptionNames))
      ->capture_default_str();
  view->add_option("--port", options->port, "TCP port; 0 picks a free one")->capture_default_str();
  view->add_option("--bind", options->bind, "address to listen on")->capture_default_str();
  view->add_option("--record-dir", options->view.recordFolder, "folder for recordings started from the page")
      ->check(CLI::ExistingDirectory)
      ->capture_default_str();
  view->callback([command, options] { *command = [options] { return RunView(*options); }; });
}

}  // namespace ovalith_tool
