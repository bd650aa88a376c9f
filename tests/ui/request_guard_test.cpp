// The rules every request to the setup page's server must pass, case by case.
#include "client/ui/request_guard.h"

#include <gtest/gtest.h>

#include <set>

#include "client/ui/api.h"

namespace {

using dssetup::ui::Guard;
using dssetup::ui::RequestFacts;

constexpr unsigned short kPort = 8123;
constexpr char kKey[] = "0123456789abcdef0123456789abcdef";

// A request of the page itself, which each case then spoils in one way.
RequestFacts PageRequest(const char *path = "/api/appliances") {
    RequestFacts r;
    r.method = "GET";
    r.path = path;
    r.host = "127.0.0.1:8123";
    r.token = kKey;
    return r;
}

int StatusOf(const RequestFacts &r) {
    return Guard(r, kPort, kKey).status;
}

TEST(RequestGuardTest, OnlyAHostHeaderNamingThisServerPasses) {
    const struct {
        const char *host;
        int status;
    } cases[] = {
        {"127.0.0.1:8123", 0},
        {"localhost:8123", 0},
        {"LocalHost:8123", 0},
        {"", 403},                // HTTP/1.0 without Host
        {"127.0.0.1", 403},       // no port
        {"127.0.0.1:8124", 403},  // another server
        {"127.0.0.1:18123", 403},
        {"evil.example:8123", 403},  // a rebound name of another site
        {"127.0.0.1.evil.example:8123", 403},
        {"localhost.evil.example:8123", 403},
        {"[::1]:8123", 403},
        {"127.0.0.1:8123 ", 403},
    };
    for (const auto &c : cases) {
        RequestFacts r = PageRequest();
        r.host = c.host;
        EXPECT_EQ(StatusOf(r), c.status) << "Host: " << c.host;
        r.path = "/";  // the page itself too
        r.token = "";
        EXPECT_EQ(StatusOf(r), c.status) << "Host: " << c.host << " for the page";
    }
}

TEST(RequestGuardTest, RequestsFromOtherOriginsAndOtherMethodsAreRefused) {
    const struct {
        const char *origin;
        int status;
    } origins[] = {
        {"", 0},
        {"http://127.0.0.1:8123", 0},
        {"http://localhost:8123", 0},
        {"http://evil.example", 403},
        {"http://evil.example:8123", 403},
        {"https://127.0.0.1:8123", 403},
        {"http://127.0.0.1:8124", 403},
        {"null", 403},  // sandboxed frames and files
    };
    for (const auto &c : origins) {
        RequestFacts r = PageRequest();
        r.origin = c.origin;
        EXPECT_EQ(StatusOf(r), c.status) << "Origin: " << c.origin;
    }
    // No CORS preflight is ever answered, so no other site's script can send the key header.
    for (const char *method : {"OPTIONS", "PUT", "DELETE", "PATCH", "TRACE", "CONNECT"}) {
        RequestFacts r = PageRequest();
        r.method = method;
        EXPECT_EQ(StatusOf(r), 405) << method;
    }
    for (const char *method : {"GET", "HEAD", "POST"}) {
        RequestFacts r = PageRequest();
        r.method = method;
        EXPECT_EQ(StatusOf(r), 0) << method;
    }
}

TEST(RequestGuardTest, TheApiWantsTheRunsKeyInItsHeader) {
    RequestFacts r = PageRequest();
    EXPECT_EQ(StatusOf(r), 0);
    for (const char *key :
         {"", "0123456789abcdef0123456789abcdee", "0123456789abcdef",
          "0123456789abcdef0123456789abcdef0", "0123456789ABCDEF0123456789ABCDEF"}) {
        r.token = key;
        EXPECT_EQ(StatusOf(r), 403) << "key " << key;
    }
    // The page's own files carry no secret and need no key.
    for (const char *path : {"/", "/app.js", "/style.css"}) {
        RequestFacts page = PageRequest(path);
        page.token = "";
        EXPECT_EQ(StatusOf(page), 0) << path;
    }
    // A server without a key serves no API at all.
    EXPECT_EQ(Guard(PageRequest(), kPort, "").status, 403);
}

TEST(RequestGuardTest, BodiesAreBoundedBeforeTheyAreRead) {
    const std::string json = std::to_string(dssetup::ui::kMaxJsonBody);
    const std::string json_over = std::to_string(dssetup::ui::kMaxJsonBody + 1);
    const std::string print = std::to_string(dssetup::ui::kMaxPrintBody);
    const std::string print_over = std::to_string(dssetup::ui::kMaxPrintBody + 1);
    const struct {
        const char *path;
        std::string length;
        const char *encoding;
        int status;
    } cases[] = {
        {"/api/appliances/00:C0:02:1A:2B:3C/check", json, "", 0},
        {"/api/appliances/00:C0:02:1A:2B:3C/check", json_over, "", 413},
        {"/api/appliances/00:C0:02:1A:2B:3C/apply", print, "", 413},
        {"/api/appliances/00:C0:02:1A:2B:3C/print", print, "", 0},
        {"/api/appliances/00:C0:02:1A:2B:3C/print", print_over, "", 413},
        {"/api/appliances/00:C0:02:1A:2B:3C/print-test", print, "", 413},
        {"/api/appliances/00:C0:02:1A:2B:3C/print", "99999999999999999999999999", "", 413},
        {"/api/appliances/00:C0:02:1A:2B:3C/check", "12a", "", 400},
        {"/api/appliances/00:C0:02:1A:2B:3C/check", "-1", "", 400},
        {"/api/appliances/00:C0:02:1A:2B:3C/check", "", "chunked", 411},
        {"/api/appliances/00:C0:02:1A:2B:3C/print", "", "chunked", 411},
    };
    for (const auto &c : cases) {
        RequestFacts r = PageRequest(c.path);
        r.method = "POST";
        r.content_length = c.length;
        r.transfer_encoding = c.encoding;
        EXPECT_EQ(StatusOf(r), c.status) << c.path << " length " << c.length << " " << c.encoding;
    }
}

TEST(RequestGuardTest, KeysAreRandomAndComparedWhole) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        const std::string key = dssetup::ui::NewToken();
        ASSERT_EQ(key.size(), 32u);
        EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos) << key;
        seen.insert(key);
    }
    EXPECT_EQ(seen.size(), 20u);
    EXPECT_TRUE(dssetup::ui::SameSecret("abc", "abc"));
    EXPECT_FALSE(dssetup::ui::SameSecret("abd", "abc"));
    EXPECT_FALSE(dssetup::ui::SameSecret("ab", "abc"));
    EXPECT_FALSE(dssetup::ui::SameSecret("abcabc", "abc"));
    EXPECT_FALSE(dssetup::ui::SameSecret("", ""));
}

}  // namespace
