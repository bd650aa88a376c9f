// libFuzzer harness of the setup page's HTTP/JSON API (dssetup ui): each input is the bytes a
// browser, or another page of it, sends to the page's server, which runs as dssetup runs it,
// on 127.0.0.1 of a network namespace of the harness's own (fuzz/sandbox.h), with a scripted
// appliance on that loopback in its list. The bytes go through the HTTP server, the request
// guard and the handlers. Besides the sanitizers, the harness checks that every request gets
// an answer; that an API request without the run's key is refused and reaches no appliance;
// and that every JSON answer is valid JSON with every control character escaped.
//
// Input: the request as sent, with "@PORT@" standing for the server's port, "@KEY@" for the
// run's key and "@MAC@" for the scripted appliance's MAC address.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "client/ui/api.h"
#include "client/ui/appliance_list.h"
#include "client/ui/web_server.h"
#include "fuzz/sandbox.h"
#include "tests/ui/fake_appliance.h"

namespace {

constexpr char kKey[] = "00112233445566778899aabbccddeeff";

[[noreturn]] void Breach(const std::string &what) {
    std::fprintf(stderr, "ui_fuzz: %s\n", what.c_str());
    std::abort();
}

struct World {
    std::unique_ptr<uitest::FakeAppliance> appliance;
    std::unique_ptr<dssetup::ui::WebServer> server;
    std::thread serving;
    unsigned short port = 0;
};

World &Get() {
    static World world;
    return world;
}

// At exit: the server stopped and its thread joined before the world goes.
void Shutdown() {
    World &w = Get();
    if (w.server) {
        w.server->Stop();
        w.serving.join();
        w.server.reset();
    }
    w.appliance.reset();
}

void Replace(std::string *text, const std::string &from, const std::string &to) {
    for (std::size_t at = text->find(from); at != std::string::npos;
         at = text->find(from, at + to.size())) {
        text->replace(at, from.size(), to);
    }
}

// After a connect interrupted by a signal: true once the connection is made.
bool Connected(int fd) {
    if (errno != EINTR) {
        return false;
    }
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do {
        rc = poll(&p, 1, 10000);
    } while (rc < 0 && errno == EINTR);
    int error = 0;
    socklen_t n = sizeof error;
    if (rc != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &n) != 0 || error != 0) {
        errno = error != 0 ? error : ETIMEDOUT;
        return false;
    }
    return true;
}

// Sends the request on a connection of its own; what came back before the server closed it.
std::string Exchange(const std::string &request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(Get().port);
    timeval wait{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    // libFuzzer's timer signal may interrupt any of the calls below: the connection goes on
    // being made, and an interrupted send or receive is made again.
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && !Connected(fd)) {
        Breach(std::string("the server took no connection: ") + std::strerror(errno));
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // the server may refuse before it has read everything
        }
        sent += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[4096];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return reply;
}

bool HasControl(const std::string &text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0U;
        if (c < 0x20 || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F)) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!sandbox::PrivateNetwork()) {
        sandbox::Refuse("ui_fuzz", "its network");
    }
    World &w = Get();
    w.appliance = std::make_unique<uitest::FakeAppliance>(1);
    dssetup::Options o;
    o.port = w.appliance->port();
    o.timeout = 0.05;
    o.tries = 2;
    o.timeout_given = o.tries_given = true;
    w.server = std::make_unique<dssetup::ui::WebServer>(o, kKey, false);
    std::string error;
    if (!w.server->Listen(0, &error)) {
        Breach("the server cannot listen: " + error);
    }
    w.port = w.server->port();
    w.serving = std::thread([&w] { w.server->Serve(); });
    std::atexit(Shutdown);
    w.server->list().WaitFor(1);
    dssetup::ui::Appliance added;
    if (!w.server->list().AddTyped("127.0.0.1", &added, &error)) {
        Breach("the scripted appliance cannot be added: " + error);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    World &w = Get();
    std::string request(reinterpret_cast<const char *>(data), size);
    Replace(&request, "@PORT@", std::to_string(w.port));
    Replace(&request, "@KEY@", kKey);
    Replace(&request, "@MAC@", uitest::kMacText);
    const bool keyed = request.find(kKey) != std::string::npos;
    // What earlier requests started (a search, settings being applied) has ended.
    w.server->api().WaitForJobs();
    while (w.server->list().Searching()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    w.appliance->Settle();  // and their last retransmissions counted
    const int datagrams = w.appliance->Total();

    const std::string reply = Exchange(request);
    if (reply.empty()) {
        return 0;  // a request the server could not parse may get no answer, only the close
    }
    if (reply.compare(0, 9, "HTTP/1.1 ") != 0 || reply.size() < 12) {
        Breach("an answer that is not HTTP");
    }
    const int status = std::atoi(reply.c_str() + 9);
    // An API request without the key: refused, and no appliance asked.
    const std::size_t line_end = request.find('\n');
    const std::string first_line = request.substr(0, line_end);
    if (!keyed && first_line.find(" /api") != std::string::npos) {
        if (status >= 200 && status < 300) {
            Breach("an API request without the key was served: " + first_line);
        }
        w.appliance->Settle();
        if (w.appliance->Total() != datagrams) {
            Breach("an API request without the key reached the appliance");
        }
    }
    // The first answer's body (more answers may follow, for requests sent one after another).
    const std::size_t body = reply.find("\r\n\r\n");
    const std::size_t length = reply.find("Content-Length: ");
    const bool head = request.compare(0, 5, "HEAD ") == 0;  // headers only, no body
    if (body != std::string::npos && length < body && !head &&
        reply.find("Content-Type: application/json") < body) {
        const auto n = static_cast<std::size_t>(std::atol(reply.c_str() + length + 16));
        if (reply.size() < body + 4 + n) {
            // Cut off: a server that refuses before reading a whole body closes the connection
            // with bytes of the request unread, and the reset may lose what it sent.
            return 0;
        }
        const std::string json = reply.substr(body + 4, n);
        if (nlohmann::json::parse(json, nullptr, false).is_discarded() || HasControl(json)) {
            Breach("a JSON answer that is not valid or holds a raw control character: " + json);
        }
    }
    return 0;
}
