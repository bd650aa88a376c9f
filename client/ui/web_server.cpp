// dssetup ui: routes of the setup page's server.
#include "client/ui/web_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "client/result.h"
#include "client/ui/api.h"
#include "client/ui/appliance_list.h"
#include "client/ui/assets.h"
#include "client/ui/connection_gate.h"
#include "client/ui/request_guard.h"

namespace dssetup::ui {

namespace {

// Every response: nothing cached, no other site may frame, embed or read it; the page runs
// only its own script and talks only to this server.
const httplib::Headers kHeaders = {
    {"Cache-Control", "no-store"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"X-Frame-Options", "DENY"},
    {"Cross-Origin-Resource-Policy", "same-origin"},
    {"Cross-Origin-Opener-Policy", "same-origin"},
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
     "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
};

constexpr char kJson[] = "application/json; charset=utf-8";
constexpr char kMacPattern[] = "([0-9A-Fa-f]{2}(?::[0-9A-Fa-f]{2}){5})";

void Send(httplib::Response &res, const ApiReply &reply) {
    res.status = reply.status;
    res.set_content(reply.body, kJson);
}

// A refusal closes the connection: a body the server did not read must not be taken for the
// next request.
void Refuse(httplib::Response &res, int status, const std::string &error) {
    res.status = status;
    res.set_header("Connection", "close");
    const Json body = {{"ok", false}, {"error", error}};
    res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), kJson);
}

// A connection whose head the gate has read: those bytes first, then the socket, each wait
// bounded by kIoTimeoutMs.
constexpr int kIoTimeoutMs = 5000;

class GateStream : public httplib::Stream {
  public:
    GateStream(int fd, std::string received) : fd_(fd), received_(std::move(received)) {}

    bool is_readable() const override { return used_ < received_.size() || Wait(POLLIN); }
    bool is_writable() const override { return Wait(POLLOUT); }
    ssize_t read(char *ptr, size_t size) override {
        if (used_ < received_.size()) {
            const std::size_t n = std::min(size, received_.size() - used_);
            std::memcpy(ptr, received_.data() + used_, n);
            used_ += n;
            return static_cast<ssize_t>(n);
        }
        if (!Wait(POLLIN)) {
            return -1;
        }
        return recv(fd_, ptr, size, 0);
    }
    ssize_t write(const char *ptr, size_t size) override {
        if (!Wait(POLLOUT)) {
            return -1;
        }
        return send(fd_, ptr, size, MSG_NOSIGNAL);
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        Address(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        Address(getsockname, ip, port);
    }
    socket_t socket() const override { return fd_; }

  private:
    bool Wait(short events) const {
        pollfd p{fd_, events, 0};
        int n;
        while ((n = poll(&p, 1, kIoTimeoutMs)) < 0 && errno == EINTR) {
        }
        return n > 0 && (p.revents & events) != 0;
    }
    void Address(int (*get)(int, sockaddr *, socklen_t *), std::string &ip, int &port) const {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        char text[INET_ADDRSTRLEN] = {};
        if (get(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0 && a.sin_family == AF_INET &&
            inet_ntop(AF_INET, &a.sin_addr, text, sizeof text) != nullptr) {
            ip = text;
            port = ntohs(a.sin_port);
        }
    }

    int fd_;
    std::string received_;
    std::size_t used_ = 0;
};

// The library's server with its connections handed to the gate instead of a thread each:
// the accepting thread only admits them (the task queue runs that at once), the gate hands
// those with a whole head to the workers, each of which answers one request and gives the
// connection back to the gate to linger and close.
class GatedServer : public httplib::Server {
  public:
    GatedServer()
        : gate_([this](int fd, std::string received) {
              workers_.enqueue(
                  [this, fd, r = std::move(received)]() mutable { ServeOne(fd, std::move(r)); });
          }) {
        new_task_queue = [] { return new AtOnce; };
    }
    ~GatedServer() override { Shutdown(); }

    // The library listens with a queue of 5 connections: a burst of new ones beyond that
    // would wait a second or more for the kernel's retry. Called after binding.
    void LongerQueue() { (void)::listen(svr_sock_, SOMAXCONN); }

    // After the accepting loop has ended: the gate and the workers.
    void Shutdown() {
        std::lock_guard<std::mutex> lock(shutdown_mutex_);
        if (!shut_down_) {
            shut_down_ = true;
            gate_.Stop();
            workers_.shutdown();
        }
    }

  private:
    struct AtOnce : httplib::TaskQueue {
        void enqueue(std::function<void()> fn) override { fn(); }
        void shutdown() override {}
    };

    bool process_and_close_socket(socket_t sock) override {
        gate_.Admit(sock);
        return true;
    }

    void ServeOne(int fd, std::string received) {
        GateStream stream(fd, std::move(received));
        bool closed = true;
        (void)process_request(stream, true, closed, nullptr);
        gate_.Linger(fd);
    }

    ConnectionGate gate_;
    httplib::ThreadPool workers_{kWorkers};
    std::mutex shutdown_mutex_;
    bool shut_down_ = false;

    static constexpr std::size_t kWorkers = 16;
};

}  // namespace

struct WebServer::Impl {
    Impl(const Options &o, std::string t, bool broadcast)
        : options(o), token(std::move(t)), list(o, broadcast), api(o, list) {}
    const Options options;
    const std::string token;
    ApplianceList list;
    Api api;
    GatedServer server;
    unsigned short port = 0;
};

WebServer::WebServer(const Options &options, std::string token, bool broadcast)
    : impl_(std::make_unique<Impl>(options, std::move(token), broadcast)) {
    httplib::Server &s = impl_->server;
    Impl *impl = impl_.get();
    s.set_default_headers(kHeaders);
    s.set_payload_max_length(kMaxPrintBody);
    // SO_REUSEADDR only: the library's default adds SO_REUSEPORT, which would let another
    // program of this user listen on the same port and take some of the page's requests.
    s.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    s.set_pre_routing_handler([impl](const httplib::Request &req, httplib::Response &res) {
        RequestFacts facts;
        const std::string host = req.get_header_value("Host");
        const std::string origin = req.get_header_value("Origin");
        const std::string key = req.get_header_value(kTokenHeader);
        const std::string length = req.get_header_value("Content-Length");
        const std::string encoding = req.get_header_value("Transfer-Encoding");
        facts.method = req.method;
        facts.path = req.path;
        facts.host = host;
        facts.origin = origin;
        facts.token = key;
        facts.content_length = length;
        facts.transfer_encoding = encoding;
        // One header of each: a second Host or key could mean different things to a proxy.
        if (req.get_header_value_count("Host") > 1 ||
            req.get_header_value_count(kTokenHeader) > 1) {
            Refuse(res, 400, "a header appears twice");
            return httplib::Server::HandlerResponse::Handled;
        }
        const Verdict v = Guard(facts, impl->port, impl->token);
        if (v.status != 0) {
            Refuse(res, v.status, v.error);
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_error_handler([](const httplib::Request &req, httplib::Response &res) {
        if (res.body.empty()) {
            const bool api = req.path.rfind("/api/", 0) == 0;
            res.set_content(api ? "{\"ok\": false, \"error\": \"no such request\"}" : "not found",
                            api ? kJson : "text/plain; charset=utf-8");
        }
    });

    auto asset = [](const httplib::Request &req, httplib::Response &res) {
        const Asset *a = FindAsset(req.path);
        if (a == nullptr) {
            res.status = 404;
            return;
        }
        res.set_content(a->body.data(), a->body.size(), std::string(a->type).c_str());
    };
    s.Get("/", asset);
    s.Get(R"(/[a-z]+\.(?:js|css))", asset);

    // A JSON body larger than its limit (sent without a length) is refused here.
    auto json_body = [](const httplib::Request &req, httplib::Response &res) {
        if (req.body.size() > kMaxJsonBody) {
            Refuse(res, 413, "the request is too large");
            return false;
        }
        return true;
    };
    Api &api = impl_->api;
    s.Get("/api/keys",
          [&api](const httplib::Request &, httplib::Response &res) { Send(res, api.Keys()); });
    s.Get("/api/appliances",
          [&api](const httplib::Request &, httplib::Response &res) { Send(res, api.List()); });
    s.Post("/api/search",
           [&api](const httplib::Request &, httplib::Response &res) { Send(res, api.Search()); });
    s.Post("/api/appliances",
           [&api, json_body](const httplib::Request &req, httplib::Response &res) {
               if (json_body(req, res))
                   Send(res, api.Add(req.body));
           });
    const std::string one = std::string("/api/appliances/") + kMacPattern;
    s.Get(one + "/settings", [&api](const httplib::Request &req, httplib::Response &res) {
        Send(res, api.Read(req.matches[1].str()));
    });
    s.Post(one + "/check", [&api, json_body](const httplib::Request &req, httplib::Response &res) {
        if (json_body(req, res))
            Send(res, api.Check(req.matches[1].str(), req.body));
    });
    s.Post(one + "/apply", [&api, json_body](const httplib::Request &req, httplib::Response &res) {
        if (json_body(req, res))
            Send(res, api.Apply(req.matches[1].str(), req.body));
    });
    s.Get(R"(/api/jobs/([0-9]{1,9}))", [&api](const httplib::Request &req, httplib::Response &res) {
        // ?after=N: the state after version N, when it changes (or in two seconds).
        const std::string after = req.get_param_value("after");
        unsigned n = 0;
        for (char c : after.substr(0, 9)) {
            n = c >= '0' && c <= '9' ? n * 10 + static_cast<unsigned>(c - '0') : 0;
        }
        Send(res, api.Job(req.matches[1].str(), n));
    });
    s.Post(one + "/password",
           [&api, json_body](const httplib::Request &req, httplib::Response &res) {
               // The body is this server's own copy of the request: wiped once read.
               std::string &body = const_cast<std::string &>(req.body);
               if (json_body(req, res)) {
                   Send(res, api.Password(req.matches[1].str(), &body));
               }
               std::fill(body.begin(), body.end(), '\0');
           });
    s.Post(one + "/print-test", [&api](const httplib::Request &req, httplib::Response &res) {
        Send(res, api.PrintTestPage(req.matches[1].str()));
    });
    s.Post(one + "/print", [&api](const httplib::Request &req, httplib::Response &res) {
        Send(res, api.Print(req.matches[1].str(), req.body));
    });
}

WebServer::~WebServer() = default;

bool WebServer::Listen(unsigned short port, std::string *error) {
    if (impl_->token.empty()) {
        *error = "no random bytes for the page's key";
        return false;
    }
    httplib::Server &s = impl_->server;
    int bound = port;
    if (port == 0) {
        bound = s.bind_to_any_port("127.0.0.1");
    } else if (!s.bind_to_port("127.0.0.1", port)) {
        bound = -1;
    }
    if (bound <= 0) {
        *error = port == 0
                     ? std::string("cannot listen on 127.0.0.1")
                     : "cannot listen on 127.0.0.1:" + std::to_string(port) + " (is it in use?)";
        return false;
    }
    impl_->port = static_cast<unsigned short>(bound);
    impl_->server.LongerQueue();
    impl_->list.Search();  // the list is there when the page first asks
    return true;
}

unsigned short WebServer::port() const {
    return impl_->port;
}

std::string WebServer::Address() const {
    return "http://127.0.0.1:" + std::to_string(impl_->port) + "/#key=" + impl_->token;
}

void WebServer::Serve() {
    impl_->server.listen_after_bind();
    impl_->server.Shutdown();
}

void WebServer::Stop() {
    impl_->server.stop();
}

ApplianceList &WebServer::list() {
    return impl_->list;
}

Api &WebServer::api() {
    return impl_->api;
}

}  // namespace dssetup::ui
