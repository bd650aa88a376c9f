// dssetup ui: the HTTP server of the setup page, on 127.0.0.1 only: the embedded page and
// the API of client/ui/api.h behind the rules of client/ui/request_guard.h.
#pragma once

#include <memory>
#include <string>

#include "client/args.h"

namespace dssetup::ui {

class Api;
class ApplianceList;

class WebServer {
  public:
    // `token` is the run's secret key (NewToken()); `broadcast` as for ApplianceList.
    WebServer(const Options &options, std::string token, bool broadcast = true);
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Listens on 127.0.0.1:port (0: a free port); false with *error.
    bool Listen(unsigned short port, std::string *error);
    unsigned short port() const;
    // The page's address with the key: http://127.0.0.1:PORT/#key=TOKEN.
    std::string Address() const;
    // Serves until Stop() (from another thread).
    void Serve();
    void Stop();

    ApplianceList &list();
    Api &api();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace dssetup::ui
