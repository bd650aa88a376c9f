// dssetup ui: what a request must show before the setup page's server does anything for it.
// The server listens on 127.0.0.1 only; these rules keep other pages of the same browser (and
// names of other sites that resolve to 127.0.0.1) from using it.
#pragma once

#include <string>
#include <string_view>

namespace dssetup::ui {

// The header that carries the run's secret key on every API request.
inline constexpr char kTokenHeader[] = "X-DSSetup-Token";

// What the rules look at, from the request line and headers (empty: absent).
struct RequestFacts {
    std::string_view method;
    std::string_view path;
    std::string_view host;
    std::string_view origin;
    std::string_view token;
    std::string_view content_length;
    std::string_view transfer_encoding;
};

struct Verdict {
    int status = 0;  // 0: go on; else the HTTP status of the refusal
    std::string error;
};

// The rules, in order: a Host header naming this server (127.0.0.1:PORT or localhost:PORT),
// so that a name of another site resolved to 127.0.0.1 is refused; no Origin but this
// server's own; GET, HEAD and POST only (no CORS preflight, so no cross-site call); on the
// API, the run's key in its header (a cookie or a URL does not count); a body announced by
// its length and not larger than the path takes.
Verdict Guard(const RequestFacts &request, unsigned short port, std::string_view token);

// The largest body a path takes.
std::size_t BodyLimit(std::string_view path);

// A new secret key: 128 random bits as 32 hexadecimal digits; empty when the system gives
// no random bytes.
std::string NewToken();

// Whether two texts are equal, in a time that does not tell where they differ.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace dssetup::ui
