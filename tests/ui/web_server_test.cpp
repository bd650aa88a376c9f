// The setup page's server on this machine's loopback, with a scripted appliance at
// 127.0.0.1: what it serves, what it refuses, and the API from the list to an applied change.
// The server searches only at typed addresses here (no broadcast leaves the test).
#include "client/ui/web_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "client/settings.h"
#include "client/ui/api.h"
#include "client/ui/appliance_list.h"
#include "tests/ui/fake_appliance.h"
#include "tests/ui/http_client.h"

namespace {

using Json = nlohmann::json;
using uitest::FakeAppliance;
using uitest::Http;
using uitest::HttpResponse;
using uitest::RawHttp;

constexpr char kKey[] = "00112233445566778899aabbccddeeff";

class WebServerTest : public ::testing::Test {
  protected:
    void SetUp() override { Start(50); }
    void TearDown() override { StopServer(); }

    void Start(int apply_ms) {
        agent_ = std::make_unique<FakeAppliance>(apply_ms);
        dssetup::Options o;
        o.port = agent_->port();
        o.timeout = 0.2;
        o.tries = 3;
        // Where the test may, every datagram is kept on the loopback interface.
        if (geteuid() == 0)
            o.interface = "lo";
        server_ = std::make_unique<dssetup::ui::WebServer>(o, kKey, false);
        std::string error;
        ASSERT_TRUE(server_->Listen(0, &error)) << error;
        port_ = server_->port();
        thread_ = std::thread([this] { server_->Serve(); });
        server_->list().WaitFor(1);
    }
    void StopServer() {
        if (server_) {
            server_->Stop();
            thread_.join();
            server_.reset();
        }
        agent_.reset();
    }

    HttpResponse Get(const std::string &path) { return Http(port_, "GET", path, kKey); }
    HttpResponse Post(const std::string &path, const std::string &body) {
        return Http(port_, "POST", path, kKey, body);
    }
    static Json Body(const HttpResponse &r) {
        Json j = Json::parse(r.body, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << r.body;
        return j;
    }
    // The scripted appliance, added by its address and its firmware version known.
    void AddAppliance() {
        const HttpResponse r = Post("/api/appliances", R"({"address": "127.0.0.1"})");
        ASSERT_EQ(r.status, 200) << r.body;
        ASSERT_TRUE(Body(r)["ok"].get<bool>()) << r.body;
        server_->list().WaitFor(server_->list().Completed() + 1);
    }
    std::string Settings() { return "/api/appliances/" + std::string(uitest::kMacText); }
    // Waits for a job to end; its last state.
    Json Finish(const std::string &job) {
        for (int i = 0; i < 300; ++i) {
            const Json j = Body(Get("/api/jobs/" + job));
            if (j["done"].get<bool>())
                return j;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "job " << job << " did not end";
        return {};
    }

    std::unique_ptr<FakeAppliance> agent_;
    std::unique_ptr<dssetup::ui::WebServer> server_;
    unsigned short port_ = 0;
    std::thread thread_;
};

TEST_F(WebServerTest, ListensOnLoopbackOnly) {
    // The listening socket in the kernel's table: 127.0.0.1 (0100007F), state LISTEN (0A).
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    char port[8];
    std::snprintf(port, sizeof port, ":%04X", port_);
    int listeners = 0;
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == port) {
            ++listeners;
            EXPECT_EQ(local, std::string("0100007F") + port);
        }
    }
    EXPECT_EQ(listeners, 1);
    EXPECT_EQ(server_->Address(), "http://127.0.0.1:" + std::to_string(port_) + "/#key=" + kKey);

    // A second server cannot take the same port: it says so instead of serving elsewhere.
    dssetup::ui::WebServer other(dssetup::Options{}, kKey, false);
    std::string error;
    EXPECT_FALSE(other.Listen(port_, &error));
    EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(port_)), std::string::npos)
        << error;
}

TEST_F(WebServerTest, ThePageIsServedWholeFromTheProgram) {
    const HttpResponse page = Http(port_, "GET", "/", "");
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.Header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page.Header("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
    EXPECT_NE(page.Header("Content-Security-Policy").find("frame-ancestors 'none'"),
              std::string::npos);
    EXPECT_EQ(page.Header("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(page.Header("Referrer-Policy"), "no-referrer");
    const struct {
        const char *path;
        const char *type;
    } files[] = {{"/app.js", "text/javascript; charset=utf-8"},
                 {"/style.css", "text/css; charset=utf-8"}};
    for (const auto &f : files) {
        EXPECT_NE(page.body.find(f.path), std::string::npos) << f.path << " not in the page";
        const HttpResponse r = Http(port_, "GET", f.path, "");
        EXPECT_EQ(r.status, 200) << f.path;
        EXPECT_EQ(r.Header("Content-Type"), f.type) << f.path;
        // Nothing is fetched from anywhere else: no address of another server in any file.
        for (const char *outside : {"http://", "https://", "//cdn", "url("})
            EXPECT_EQ(r.body.find(outside), std::string::npos) << f.path << " has " << outside;
    }
    for (const char *outside : {"http://", "https://", "src=\"//", "href=\"//"})
        EXPECT_EQ(page.body.find(outside), std::string::npos) << "the page has " << outside;
    EXPECT_EQ(Http(port_, "GET", "/index.html.bak", "").status, 404);
    EXPECT_EQ(Http(port_, "GET", "/../etc/passwd", "").status, 404);
}

TEST_F(WebServerTest, TheApiRefusesRequestsWithoutTheRunsKeyOrFromElsewhere) {
    AddAppliance();
    const int before = agent_->Total();
    const std::string read = Settings() + "/settings";
    EXPECT_EQ(Get(read).status, 200);
    const int one_read = agent_->Total() - before;
    ASSERT_GT(one_read, 0);

    const struct {
        const char *what;
        std::string request;
        int status;
    } cases[] = {
        {"no key",
         "GET " + read + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
             "\r\nConnection: close\r\n\r\n",
         403},
        {"a wrong key",
         "GET " + read + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
             "\r\nX-DSSetup-Token: 00112233445566778899aabbccddeefe\r\n"
             "Connection: close\r\n\r\n",
         403},
        {"the key in the address",
         "GET " + read + "?key=" + kKey + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
             "\r\nConnection: close\r\n\r\n",
         403},
        {"the key in a cookie",
         "GET " + read + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
             "\r\nCookie: key=" + kKey + "; X-DSSetup-Token=" + kKey +
             "\r\nConnection: close\r\n\r\n",
         403},
        {"another site's name (DNS rebinding)",
         "GET " + read + " HTTP/1.1\r\nHost: evil.example:" + std::to_string(port_) +
             "\r\nX-DSSetup-Token: " + kKey + "\r\nConnection: close\r\n\r\n",
         403},
        {"no Host at all", "GET " + read + " HTTP/1.0\r\nX-DSSetup-Token: " + kKey + "\r\n\r\n",
         403},
        {"two Host headers",
         "GET " + read + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
             "\r\nHost: evil.example\r\n" + "X-DSSetup-Token: " + kKey +
             "\r\nConnection: close\r\n\r\n",
         400},
        {"another site's page",
         "GET " + read + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
             "\r\nOrigin: http://evil.example\r\n" + "X-DSSetup-Token: " + kKey +
             "\r\nConnection: close\r\n\r\n",
         403},
    };
    for (const auto &c : cases) {
        const HttpResponse r = RawHttp(port_, c.request);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.head;
        EXPECT_EQ(r.Header("Access-Control-Allow-Origin"), "") << c.what;
        EXPECT_EQ(Body(r)["ok"], false) << c.what;
    }
    // A preflight gets no permission of any kind, from another site or this one.
    for (const std::string &origin :
         {std::string("http://evil.example"), "http://127.0.0.1:" + std::to_string(port_)}) {
        const HttpResponse preflight = RawHttp(
            port_,
            "OPTIONS " + read + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                "\r\nOrigin: " + origin +
                "\r\nAccess-Control-Request-Method: POST\r\n"
                "Access-Control-Request-Headers: x-dssetup-token\r\nConnection: close\r\n\r\n");
        EXPECT_TRUE(preflight.status == 403 || preflight.status == 405) << preflight.head;
        for (const char *h : {"Access-Control-Allow-Origin", "Access-Control-Allow-Methods",
                              "Access-Control-Allow-Headers", "Access-Control-Allow-Credentials"})
            EXPECT_EQ(preflight.Header(h), "") << origin << " " << h;
    }
    // Nothing refused reached the appliance.
    EXPECT_EQ(agent_->Total() - before, one_read);
}

TEST_F(WebServerTest, RequestBodiesAreBounded) {
    AddAppliance();
    const int before = agent_->Total();
    const std::string big(dssetup::ui::kMaxJsonBody + 1, ' ');
    HttpResponse r = Post(Settings() + "/check", big);
    EXPECT_EQ(r.status, 413) << r.body;
    r = Post(Settings() + "/apply", "{\"changes\": {\"description\": \"" +
                                        std::string(dssetup::ui::kMaxJsonBody, 'x') + "\"}}");
    EXPECT_EQ(r.status, 413) << r.body;
    r = RawHttp(port_, "POST " + Settings() + "/print HTTP/1.1\r\nHost: 127.0.0.1:" +
                           std::to_string(port_) + "\r\nX-DSSetup-Token: " + kKey +
                           "\r\nContent-Length: " + std::to_string(dssetup::ui::kMaxPrintBody + 1) +
                           "\r\nConnection: close\r\n\r\nx");
    EXPECT_EQ(r.status, 413) << r.body;
    r = RawHttp(port_, "POST " + Settings() + "/check HTTP/1.1\r\nHost: 127.0.0.1:" +
                           std::to_string(port_) + "\r\nX-DSSetup-Token: " + kKey +
                           "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                           "2\r\n{}\r\n0\r\n\r\n");
    EXPECT_EQ(r.status, 411) << r.body;
    const std::string long_path(9000, 'a');
    EXPECT_EQ(Get("/api/" + long_path).status, 414);
    // A plain client that sends a whole large body reads the refusal, not a reset.
    r = RawHttp(port_, "POST " + Settings() + "/print HTTP/1.1\r\nHost: 127.0.0.1:" +
                           std::to_string(port_) + "\r\nX-DSSetup-Token: " + kKey +
                           "\r\nContent-Length: " + std::to_string(dssetup::ui::kMaxPrintBody + 1) +
                           "\r\n\r\n" + std::string(dssetup::ui::kMaxPrintBody + 1, 'x'));
    EXPECT_EQ(r.status, 413) << r.body;
    EXPECT_EQ(agent_->Total(), before);
}

// Connections that never finish their request (idle ones, and ones that send their head a
// byte at a time for as long as the test runs) do not keep the page's requests waiting.
TEST_F(WebServerTest, IdleAndSlowConnectionsDoNotStallThePage) {
    auto connect_one = [this] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port_);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        return fd;
    };
    std::vector<int> idle, slow;
    for (int i = 0; i < 50; ++i) {
        idle.push_back(connect_one());
        slow.push_back(connect_one());
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        const std::string head = "GET /api/keys HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: ";
        for (std::size_t at = 0; !done; ++at) {
            for (int fd : slow) {
                (void)send(fd, head.c_str() + std::min(at, head.size() - 1), 1, MSG_NOSIGNAL);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    // Well beyond the workers' number of page requests, each answered while all of them wait.
    for (int i = 0; i < 40; ++i) {
        const HttpResponse r =
            RawHttp(port_,
                    "GET /api/keys HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                        "\r\nX-DSSetup-Token: " + kKey + "\r\n\r\n",
                    10000);
        ASSERT_EQ(r.status, 200) << i;
    }
    done = true;
    trickle.join();
    for (int fd : idle) {
        close(fd);
    }
    for (int fd : slow) {
        close(fd);
    }
}

TEST_F(WebServerTest, OnlyAppliancesOfTheListAreTalkedTo) {
    // Nothing typed, nothing broadcast: the list is empty and no datagram went anywhere.
    EXPECT_EQ(Body(Get("/api/appliances"))["appliances"].size(), 0u);
    EXPECT_EQ(agent_->Total(), 0);
    for (const char *path :
         {"/settings", "/check", "/apply", "/password", "/print", "/print-test"}) {
        const bool post = std::string(path) != "/settings";
        const std::string url = Settings() + path;
        const HttpResponse r =
            post ? Post(url, R"({"action": "verify", "password": "x"})") : Get(url);
        EXPECT_EQ(r.status, 404) << path << ": " << r.body;
    }
    EXPECT_EQ(agent_->Total(), 0);
    EXPECT_EQ(Get("/api/appliances/not-a-mac/settings").status, 404);  // no route

    // Typed addresses that name no single appliance are not asked.
    for (const char *address : {"255.255.255.255", "0.0.0.0", "224.0.0.1", "239.255.255.250",
                                "127.0.0.300", "agent.example", ""}) {
        const Json j = Body(Post("/api/appliances", Json{{"address", address}}.dump()));
        EXPECT_FALSE(j["ok"].get<bool>()) << address;
    }
    EXPECT_EQ(agent_->Total(), 0);
    EXPECT_EQ(Post("/api/appliances", "[1]").status, 400);
    EXPECT_EQ(Post("/api/appliances", "{").status, 400);

    AddAppliance();
    const Json list = Body(Get("/api/appliances"));
    ASSERT_EQ(list["appliances"].size(), 1u);
    const Json &a = list["appliances"][0];
    EXPECT_EQ(a["mac"], uitest::kMacText);
    EXPECT_EQ(a["address"], "127.0.0.1");
    EXPECT_EQ(a["name"], "JXAABBCC");
    EXPECT_EQ(a["version"], "1.2.3");  // read once with a search
    EXPECT_EQ(a["password_set"], false);
    EXPECT_EQ(a["typed"], true);
    EXPECT_EQ(a["answering"], true);
    // Another MAC address is still not one to talk to.
    EXPECT_EQ(Get("/api/appliances/00:C0:02:AA:BB:CD/settings").status, 404);

    // A typed appliance that stops answering stays in the list, marked so.
    agent_->Silence(true);
    server_->list().WaitFor(server_->list().Search());
    const Json silent = Body(Get("/api/appliances"));
    ASSERT_EQ(silent["appliances"].size(), 1u);
    EXPECT_EQ(silent["appliances"][0]["answering"], false);
    const Json read = Body(Get(Settings() + "/settings"));
    EXPECT_EQ(read["ok"], false);
    EXPECT_EQ(read["error"].get<std::string>().rfind("no answer from 127.0.0.1 within", 0), 0u)
        << read;
}

// One sender answering every identify with 5000 MAC addresses (each twice) fills the list to
// its bound and no further, one entry per MAC address.
TEST(ApplianceListTest, OneSenderOfManyMacAddressesFillsTheListToItsBoundOnly) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
    std::atomic<bool> stop{false};
    std::thread flooder([fd, &stop] {
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            std::uint8_t req[600];
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t got =
                recvfrom(fd, req, sizeof req, 0, reinterpret_cast<sockaddr *>(&from), &size);
            if (got < 8 || proto::GetU16(req) != proto::kCmdIdentify)
                continue;
            for (int i = 0; i < 10000; ++i) {
                dssetup::Bytes r(8 + proto::identify::kPayload, 0);
                std::memcpy(r.data(), req, 8);
                proto::PutU16(r.data() + proto::kOffLength, proto::identify::kPayload);
                const std::uint8_t mac[6] = {0x00,
                                             0xC0,
                                             0x02,
                                             0xF0,
                                             static_cast<std::uint8_t>((i % 5000) >> 8),
                                             static_cast<std::uint8_t>(i % 5000)};
                std::memcpy(r.data() + proto::identify::kOffMac, mac, 6);
                while (sendto(fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&from),
                              size) < 0 &&
                       errno == ENOBUFS) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        }
    });
    {
        dssetup::Options o;
        o.port = ntohs(a.sin_port);
        o.timeout = 0.5;
        o.tries = 3;
        dssetup::ui::ApplianceList list(o, false);
        dssetup::ui::Appliance added;
        std::string error;
        ASSERT_TRUE(list.AddTyped("127.0.0.1", &added, &error)) << error;
        list.WaitFor(list.Search());
        const std::vector<dssetup::ui::Appliance> all = list.All();
        EXPECT_EQ(all.size(), dssetup::kMaxAppliances);
        std::set<std::string> macs;
        for (const dssetup::ui::Appliance &one : all) {
            macs.insert(dssetup::ui::ApplianceList::Key(one.mac));
        }
        EXPECT_EQ(macs.size(), all.size());
    }
    stop = true;
    flooder.join();
    close(fd);
}

TEST_F(WebServerTest, ReadCheckApplyAndReadAgain) {
    AddAppliance();
    // Checks need the settings read first: they are the current values the rules start from.
    EXPECT_EQ(Post(Settings() + "/check", R"({"changes": {"name": "NAS"}})").status, 409);

    const Json read = Body(Get(Settings() + "/settings"));
    ASSERT_TRUE(read["ok"].get<bool>()) << read;
    EXPECT_EQ(read["address"], "127.0.0.1");
    EXPECT_EQ(read["settings"]["mac"], uitest::kMacText);
    EXPECT_EQ(read["settings"]["version"], "1.2.3");
    EXPECT_EQ(read["values"]["name"], "JXAABBCC");
    EXPECT_EQ(read["values"]["workgroup"], "WORKGROUP");
    EXPECT_EQ(read["values"]["mode"], "static");
    EXPECT_EQ(read["values"]["dhcp-server"], "off");
    EXPECT_EQ(read["values"]["time-zone"], "-5");
    EXPECT_EQ(read["values"]["date"], "12/07/2026");

    // The rules of `dssetup set`, field by field, with nothing sent.
    const int before = agent_->Total();
    const struct {
        const char *changes;
        const char *field;
        const char *says;
    } refused[] = {
        {R"({"name": "my nas"})", "name", "may have letters"},
        {R"({"name": "ABCDEFGHIJKLMNO"})", "name", "at most 14"},
        {R"({"ip": "192.168.5.300"})", "ip", "is not an IPv4 address"},
        {R"({"netmask": "255.0.255.0"})", "netmask", "is not a netmask"},
        {R"({"dhcp-server": "on", "dhcp-start": "10.0.0.1", "dhcp-end": "10.0.0.9"})", "dhcp-start",
         "the DHCP range must lie inside"},
        {R"({"dhcp-server": "on", "dhcp-start": "192.168.5.9", "dhcp-end": "192.168.5.2"})",
         "dhcp-end", "before it starts"},
        {R"({"mode": "dhcp", "dhcp-server": "on"})", "dhcp-server", "cannot run in DHCP mode"},
        {R"({"zone": "a\"b"})", "zone", "must not contain"},
        {R"({"description": "two\nlines"})", "description", "control characters"},
        {R"({"colour": "red"})", "colour", "unknown key"},
        {R"({"date": "02/30/2026"})", "date", ""},
    };
    for (const auto &c : refused) {
        const Json r =
            Body(Post(Settings() + "/check", std::string("{\"changes\": ") + c.changes + "}"));
        EXPECT_FALSE(r["ok"].get<bool>()) << c.changes;
        bool found = false;
        for (const Json &p : r["problems"])
            found = found || (p["field"] == c.field &&
                              p["message"].get<std::string>().find(c.says) != std::string::npos);
        EXPECT_TRUE(found) << c.changes << " -> " << r;
    }
    // Every problem at once, each at its field, and every field typed counted as changed.
    const Json all =
        Body(Post(Settings() + "/check", R"({"changes": {"name": "ABCDEFGHIJKLMNOPQRST",
                                    "gateway": "10.0.0.1", "ip": "192.168.5.300"}})"));
    std::vector<std::string> fields;
    for (const Json &p : all["problems"]) fields.push_back(p["field"]);
    EXPECT_EQ(fields, (std::vector<std::string>{"ip", "name", "gateway"})) << all;
    EXPECT_EQ(all["changed"], Json::array({"name", "ip", "gateway"}));
    const Json note = Body(Post(Settings() + "/check", R"({"changes": {"mode": "dhcp"}})"));
    EXPECT_TRUE(note["ok"].get<bool>()) << note;
    EXPECT_EQ(note["changed"], Json::array({"mode"}));
    const Json good = Body(
        Post(Settings() + "/check", R"({"changes": {"name": "NAS-2", "workgroup": "SALES"}})"));
    EXPECT_TRUE(good["ok"].get<bool>()) << good;
    EXPECT_EQ(good["changed"], Json::array({"name", "workgroup"}));
    EXPECT_EQ(agent_->Total(), before);
    EXPECT_EQ(Post(Settings() + "/check", R"({"changes": {"name": 5}})").status, 400);
    EXPECT_EQ(Post(Settings() + "/check", R"({"changes": ["name=X"]})").status, 400);

    // Apply: `dssetup set` in the background, its steps told as it goes.
    const HttpResponse started = Post(Settings() + "/apply",
                                      R"({"changes": {"name": "NAS-2", "workgroup": "SALES",
                                                      "ip": "192.168.5.21"}})");
    ASSERT_EQ(started.status, 202) << started.body;
    const std::string job = Body(started)["job"];
    // One apply at a time for an appliance.
    EXPECT_EQ(Post(Settings() + "/apply", R"({"changes": {"zone": "X"}})").status, 409);
    const Json done = Finish(job);
    ASSERT_TRUE(done.is_object());
    // A new address: confirmed where the appliance answered, by its MAC address.
    EXPECT_EQ(done["steps"], Json::array({"reading", "sending", "applying", "confirming", "done"}));
    const Json &result = done["result"];
    EXPECT_EQ(result["ok"], true) << done;
    EXPECT_EQ(result["status"], 0);
    EXPECT_EQ(result["status_text"], "0 (success)");
    EXPECT_EQ(result["outcome"], "finished");
    EXPECT_EQ(done["lines"][0], "Sending the settings to 127.0.0.1, changed: name, ip, workgroup.");
    EXPECT_EQ(result["confirmed"], true);
    EXPECT_EQ(result["address"], "127.0.0.1");
    EXPECT_EQ(result["changed"], Json::array({"name", "ip", "workgroup"}));
    EXPECT_EQ(done["found"], true);
    EXPECT_EQ(agent_->Count(proto::kCmdWriteSettings), 1);

    const FakeAppliance::State s = agent_->state();
    EXPECT_EQ(s.name, "NAS-2");
    EXPECT_EQ(s.workgroup, "SALES");
    EXPECT_EQ(s.ip, "192.168.5.21");
    EXPECT_EQ(s.zone, "Office");  // the rest as read
    EXPECT_EQ(s.description, "Office disk");
    EXPECT_EQ(s.time_zone, -5);

    const Json again = Body(Get(Settings() + "/settings"));
    EXPECT_EQ(again["values"]["name"], "NAS-2");
    EXPECT_EQ(again["values"]["workgroup"], "SALES");
    EXPECT_EQ(again["values"]["ip"], "192.168.5.21");

    // A request that the rules refuse ends its job without anything sent.
    const Json bad =
        Finish(Body(Post(Settings() + "/apply", R"({"changes": {"name": "a b"}})"))["job"]);
    ASSERT_TRUE(bad.is_object());
    EXPECT_EQ(bad["result"]["ok"], false);
    EXPECT_EQ(bad["result"]["problems"][0]["field"], "name");
    EXPECT_EQ(agent_->Count(proto::kCmdWriteSettings), 1);
    EXPECT_EQ(Get("/api/jobs/999").status, 404);
}

TEST_F(WebServerTest, TheLatestJobsAreKept) {
    AddAppliance();
    ASSERT_EQ(Get(Settings() + "/settings").status, 200);
    std::string last;
    for (int i = 0; i < 20; ++i) {
        last = Body(Post(Settings() + "/apply", R"({"changes": {}})"))["job"];
        const Json done = Finish(last);
        ASSERT_TRUE(done.is_object());
        EXPECT_EQ(done["result"]["ok"], true) << done;
    }
    EXPECT_EQ(last, "20");
    EXPECT_EQ(Get("/api/jobs/1").status, 404);
    EXPECT_EQ(Get("/api/jobs/4").status, 404);
    EXPECT_EQ(Get("/api/jobs/5").status, 200);
    EXPECT_EQ(Get("/api/jobs/20").status, 200);
    EXPECT_FALSE(server_->api().Applying());
    EXPECT_EQ(agent_->Count(proto::kCmdWriteSettings), 20);
}

TEST_F(WebServerTest, PasswordsGoToTheApplianceAndNowhereElse) {
    AddAppliance();
    const std::string url = Settings() + "/password";
    HttpResponse r = Post(url, R"({"action": "set", "password": "s3cret-word"})");
    Json j = Body(r);
    EXPECT_TRUE(j["ok"].get<bool>()) << r.body;
    EXPECT_EQ(agent_->state().password, "s3cret-word");
    EXPECT_EQ(r.body.find("s3cret"), std::string::npos);

    r = Post(url, R"({"action": "verify", "password": "s3cret-word"})");
    EXPECT_TRUE(Body(r)["ok"].get<bool>()) << r.body;
    r = Post(url, R"({"action": "verify", "password": "guess"})");
    j = Body(r);
    EXPECT_FALSE(j["ok"].get<bool>());
    // In words; the status number only as a detail.
    EXPECT_EQ(j["error"], "That is not the appliance's password.") << r.body;
    EXPECT_EQ(j["detail"], "status -305") << r.body;
    EXPECT_EQ(r.body.find("guess"), std::string::npos);

    r = Post(url, R"({"action": "set", "password": "fifteen-letters"})");
    j = Body(r);
    EXPECT_FALSE(j["ok"].get<bool>());
    EXPECT_EQ(j["error"], "a password has at most 14 characters");
    EXPECT_EQ(Post(url, R"({"action": "show", "password": "x"})").status, 400);
    // An empty "set" (a form sent empty) removes nothing: removing has its own action.
    j = Body(Post(url, R"({"action": "set", "password": ""})"));
    EXPECT_FALSE(j["ok"].get<bool>());
    EXPECT_NE(j["error"].get<std::string>().find("remove"), std::string::npos) << j;
    EXPECT_EQ(Post(url, R"({"action": "remove", "password": "x"})").status, 400);
    EXPECT_EQ(agent_->state().password, "s3cret-word");
    // The list tells what the last command showed, before any search.
    EXPECT_EQ(Body(Get("/api/appliances"))["appliances"][0]["password_set"], true);

    j = Body(Post(url, R"({"action": "remove"})"));
    EXPECT_TRUE(j["ok"].get<bool>()) << j;
    EXPECT_EQ(j["password_set"], false);
    EXPECT_EQ(agent_->state().password, "");
    EXPECT_EQ(Body(Get("/api/appliances"))["appliances"][0]["password_set"], false);
    server_->list().WaitFor(server_->list().Search());
    EXPECT_EQ(Body(Get("/api/appliances"))["appliances"][0]["password_set"], false);
}

TEST_F(WebServerTest, PrintsATestPageAndFilesUnchanged) {
    AddAppliance();
    Json j = Body(Post(Settings() + "/print-test", ""));
    EXPECT_TRUE(j["ok"].get<bool>()) << j;
    std::string printed = agent_->Printed();
    EXPECT_EQ(printed.rfind("dssetup test page\r\n", 0), 0u) << printed;
    EXPECT_NE(printed.find(uitest::kMacText), std::string::npos) << printed;
    EXPECT_EQ(printed.back(), '\f');

    std::string file;
    for (int i = 0; i < 1500; ++i) file += static_cast<char>(i % 251);
    const HttpResponse r = Http(port_, "POST", Settings() + "/print", kKey, file,
                                {"Content-Type: application/octet-stream"});
    j = Body(r);
    EXPECT_TRUE(j["ok"].get<bool>()) << r.body;
    EXPECT_EQ(j["bytes"], 1500);
    EXPECT_EQ(agent_->Printed().substr(printed.size()), file);
    EXPECT_EQ(Post(Settings() + "/print", "").status, 400);

    // A failure in words, its status number apart.
    agent_->PrinterFails(true);
    j = Body(Post(Settings() + "/print-test", ""));
    EXPECT_FALSE(j["ok"].get<bool>()) << j;
    EXPECT_EQ(j["error"],
              "Printing stopped after 0 bytes: the appliance reported that writing to the "
              "printer failed");
    EXPECT_EQ(j["detail"], "status -307");
    EXPECT_EQ(j["status"], -307);
}

TEST_F(WebServerTest, TheFormHasEveryKeyOnceInItsGroup) {
    const Json j = Body(Get("/api/keys"));
    std::vector<std::string> titles;
    std::map<std::string, int> seen;
    for (const Json &g : j["groups"]) {
        titles.push_back(g["title"]);
        for (const Json &k : g["keys"]) ++seen[k.get<std::string>()];
    }
    EXPECT_EQ(titles,
              (std::vector<std::string>{"Identity", "Addressing", "DHCP server", "Windows sharing",
                                        "AppleTalk", "Date and time", "Time zone"}));
    for (const dssetup::KeyInfo &k : dssetup::kKeys) {
        EXPECT_EQ(seen[std::string(k.name)], 1) << k.name;
        EXPECT_TRUE(j["keys"].contains(std::string(k.name))) << k.name;
    }
    EXPECT_EQ(seen.size(), std::size(dssetup::kKeys));
    EXPECT_EQ(j["keys"]["mode"]["choices"], Json::array({"static", "dhcp"}));
    EXPECT_EQ(j["keys"]["wins"]["choices"], Json::array({"on", "off"}));
    EXPECT_EQ(j["keys"]["ip"]["choices"], Json::array());
    EXPECT_EQ(j["keys"]["dhcp-start"]["label"], "First address");
    EXPECT_EQ(j["keys"]["name"]["form"], dssetup::InfoOf(dssetup::Key::kName).form);
}

}  // namespace
