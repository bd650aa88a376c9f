// dssetup ui: the rules every request to the setup page's server must pass.
#include "client/ui/request_guard.h"

#include <sys/random.h>

#include <cstdio>

#include "client/ui/api.h"

namespace dssetup::ui {

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// "127.0.0.1:8080" or "localhost:8080" for port 8080.
bool IsThisServer(std::string_view host_and_port, unsigned short port) {
    std::string suffix = ":";  // appended piecewise: g++ 12 at -O3 warns falsely otherwise
    suffix += std::to_string(port);
    if (host_and_port.size() <= suffix.size() ||
        host_and_port.substr(host_and_port.size() - suffix.size()) != suffix) {
        return false;
    }
    const std::string_view host = host_and_port.substr(0, host_and_port.size() - suffix.size());
    return host == "127.0.0.1" || EqualsIgnoringCase(host, "localhost");
}

bool IsApi(std::string_view path) {
    return path.substr(0, 5) == "/api/";
}

}  // namespace

std::size_t BodyLimit(std::string_view path) {
    constexpr std::string_view kPrint = "/print";
    const bool print = IsApi(path) && path.size() > kPrint.size() &&
                       path.substr(path.size() - kPrint.size()) == kPrint;
    return print ? kMaxPrintBody : kMaxJsonBody;
}

Verdict Guard(const RequestFacts &r, unsigned short port, std::string_view token) {
    if (!IsThisServer(r.host, port)) {
        return {403, "the Host header must name this server, 127.0.0.1:" + std::to_string(port)};
    }
    if (!r.origin.empty() &&
        !IsThisServer(r.origin.substr(0, 7) == "http://" ? r.origin.substr(7) : std::string_view(),
                      port)) {
        return {403, "requests from other sites are refused"};
    }
    if (r.method != "GET" && r.method != "HEAD" && r.method != "POST") {
        return {405, "the method " + std::string(r.method) + " is not served here"};
    }
    if (IsApi(r.path) && (token.empty() || !SameSecret(r.token, token))) {
        return {403, std::string("the request lacks this run's key (header ") + kTokenHeader +
                         "): open the address dssetup ui printed"};
    }
    if (!r.transfer_encoding.empty()) {
        return {411, "a request body must come with its length (Content-Length)"};
    }
    if (!r.content_length.empty()) {
        // Digits only; more than twelve are more than any limit anyway.
        std::size_t length = 0;
        for (char c : r.content_length) {
            if (c < '0' || c > '9') {
                return {400, "a wrong Content-Length"};
            }
            length =
                length < 1000000000000u ? length * 10 + static_cast<std::size_t>(c - '0') : length;
        }
        if (length > BodyLimit(r.path)) {
            return {413, "the request is too large (at most " +
                             std::to_string(BodyLimit(r.path) / 1024) + " KiB here)"};
        }
    }
    return {};
}

std::string NewToken() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0) {
            return {};
        }
        got += static_cast<std::size_t>(n);
    }
    std::string token;
    char hex[3];
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        token += hex;
    }
    return token;
}

bool SameSecret(std::string_view a, std::string_view b) {
    if (b.empty()) {
        return false;
    }
    unsigned char differ = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        differ |= static_cast<unsigned char>(a[i] ^ b[i % b.size()]);
    }
    return differ == 0;
}

}  // namespace dssetup::ui
