// A bare HTTP/1.1 client over a TCP socket to 127.0.0.1, so that tests can send exactly the
// request lines and headers a browser, another page or an attacker would.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

namespace uitest {

struct HttpResponse {
    int status = 0;  // 0: no answer
    std::string head;
    std::string body;
    // The value of a header, case-insensitive name; "" when absent.
    std::string Header(const std::string &name) const {
        std::size_t at = 0;
        while ((at = head.find("\r\n", at)) != std::string::npos) {
            at += 2;
            const std::size_t colon = head.find(':', at);
            const std::size_t end = head.find("\r\n", at);
            if (colon == std::string::npos || (end != std::string::npos && colon > end))
                continue;
            std::string field = head.substr(at, colon - at);
            if (field.size() != name.size())
                continue;
            bool same = true;
            for (std::size_t i = 0; i < name.size(); ++i)
                same = same && std::tolower(static_cast<unsigned char>(field[i])) ==
                                   std::tolower(static_cast<unsigned char>(name[i]));
            if (same) {
                std::string value = head.substr(colon + 1, end - colon - 1);
                while (!value.empty() && value.front() == ' ') value.erase(0, 1);
                return value;
            }
        }
        return "";
    }
};

// Sends `request` as it is and reads the answer until the server closes the connection.
inline HttpResponse RawHttp(unsigned short port, const std::string &request,
                            int timeout_ms = 20000) {
    HttpResponse r;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return r;
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    std::string all;
    char b[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        const ssize_t n = recv(fd, b, sizeof b, 0);
        if (n <= 0)
            break;
        all.append(b, static_cast<std::size_t>(n));
        // Enough once the announced body is in (the server may keep the connection).
        const std::size_t end = all.find("\r\n\r\n");
        if (end != std::string::npos) {
            HttpResponse probe;
            probe.head = all.substr(0, end);
            const std::string length = probe.Header("Content-Length");
            if (!length.empty() && all.size() >= end + 4 + std::stoul(length))
                break;
        }
    }
    close(fd);
    const std::size_t end = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.", 0) != 0 || end == std::string::npos)
        return r;
    r.status = std::atoi(all.c_str() + 9);
    r.head = all.substr(0, end);
    r.body = all.substr(end + 4);
    return r;
}

// A request as the setup page sends it: this server's Host, the key when given, a body with
// its length. `extra` are further header lines ("Name: value").
inline HttpResponse Http(unsigned short port, const std::string &method, const std::string &path,
                         const std::string &key, const std::string &body = "",
                         const std::vector<std::string> &extra = {}) {
    std::string request = method + " " + path + " HTTP/1.1\r\n";
    request += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    request += "Connection: close\r\n";
    if (!key.empty())
        request += "X-DSSetup-Token: " + key + "\r\n";
    if (!body.empty() || method == "POST") {
        request += "Content-Type: application/json\r\n";
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    for (const std::string &line : extra) request += line + "\r\n";
    request += "\r\n" + body;
    return RawHttp(port, request);
}

}  // namespace uitest
