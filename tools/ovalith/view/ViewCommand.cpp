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
  ovalith_view::ServerOptions server;
  unsigned idleSeconds = 10;
};

int RunView(const ViewCommandOptions& options) {
  ovalith_view::ViewServer server;
  ovalith_view::ViewSession session(options.view, &server);
  // Ctrl+C, a termination request or the terminal closing (SIGHUP) ends the
  // run, with a recording finished as always; they are taken from one
  // waiting thread, so no other thread sees them: blocked before any thread
  // starts (the device's own start in Open), since threads inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  if (!session.Open()) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return kExitFailed;
  }
  std::string address;
  ovalith_view::ServerOptions serverOptions = options.server;
  serverOptions.idleTimeout = std::chrono::seconds(options.idleSeconds);
  if (!server.Start(&session, serverOptions, &address)) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return kExitFailed;
  }
  session.Start();
  std::printf("ovalith view: serving %s on %s (Ctrl+C stops)\n",
              options.view.file.empty() ? "the sensor" : options.view.file.c_str(), address.c_str());
  std::fflush(stdout);
  int received = 0;
  sigwait(&signals, &received);
  // The device first: a recording in progress is finished and closed, before
  // anything that could end the program early.
  const bool finished = session.Stop();
  // The server shuts every connection before it waits for them; should one
  // still hold it, the stop does not wait past a few seconds, and says so by
  // its exit status.
  std::mutex stopMutex;
  std::condition_variable stopped;
  bool serverStopped = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(stopMutex);
    if (!stopped.wait_for(lock, std::chrono::seconds(5), [&] { return serverStopped; })) {
      std::fprintf(stderr, "ovalith view: a connection did not close in time; stopped without it\n");
      std::fflush(stdout);
      std::fflush(stderr);
      std::_Exit(kExitFailed);
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
  return finished ? kExitOk : kExitFailed;
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
  view->add_option("--port", options->server.port, "TCP port; 0 picks a free one")->capture_default_str();
  view->add_option("--bind", options->server.bind,
                   "IPv4 address to listen on, or localhost; any other than 127.x opens the sensor to the network")
      ->capture_default_str();
  view->add_option("--allow-host", options->server.allowHosts,
                   "one more name a page may reach the viewer by (repeatable; the port is added)")
      ->allow_extra_args(false)
      ->check(
          [](const std::string& name) {
            const bool plain = !name.empty() && name.find_first_of(":/@[] \t") == std::string::npos;
            return plain ? std::string() : "give a host name without a port (the viewer's port is added): " + name;
          },
          "NAME");
  view->add_option("--idle-timeout", options->idleSeconds, "seconds a page may read nothing before it is disconnected")
      ->check(CLI::Range(1u, 3600u))
      ->capture_default_str();
  view->add_option("--record-dir", options->view.recordFolder, "folder for recordings started from the page")
      ->check(CLI::ExistingDirectory)
      ->capture_default_str();
  view->add_option("--filter", options->view.filter,
                   "depth filter chain, e.g. decimate=2,spatial,temporal,holes=nearest (the page can change it)");
  view->callback([command, options] { *command = [options] { return RunView(*options); }; });
}

}  // namespace ovalith_tool
