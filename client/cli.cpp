// dssetup on the command line: runs a command of client/session.h and prints its result, as
// text for people or as one JSON object (--json); reads passwords; shows the progress of set
// on a terminal; remembers the MAC addresses discover found, for the shell's completion.
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/session.h"

namespace dssetup {

namespace {

// One line on the terminal, rewritten while dssetup waits.
class Progress {
  public:
    Progress(std::FILE *err, bool on) : err_(err), on_(on) {}
    ~Progress() { Show(""); }
    void Show(const std::string &text) {
        if (!on_ || text == last_) {
            return;
        }
        last_ = text;
        std::fprintf(err_, "\r%s\033[K", text.c_str());
        std::fflush(err_);
    }

  private:
    std::FILE *err_;
    bool on_;
    std::string last_;
};

const char *CommandName(Command command) {
    switch (command) {
        case Command::kDiscover:
            return "discover";
        case Command::kShow:
            return "show";
        case Command::kSet:
            return "set";
        case Command::kRescue:
            return "rescue";
        case Command::kPasswd:
            return "passwd";
        case Command::kVerify:
            return "verify";
        case Command::kPrint:
            return "print";
        case Command::kBench:
            return "bench";
        case Command::kUi:
            return "ui";
        case Command::kNone:
            break;
    }
    return "dssetup";
}

int Output(const Options &options, const Result &r, std::FILE *out, std::FILE *err) {
    if (options.json) {
        std::fputs(ResultJson(r).c_str(), out);
        return r.exit;
    }
    const char *what = CommandName(options.command);
    if (r.ok) {
        std::fputs(r.text.empty() ? (r.message + "\n").c_str() : r.text.c_str(), out);
    } else if (!r.problems.empty()) {
        for (const Problem &p : r.problems) {
            std::fprintf(err, "dssetup %s: %s%s%s\n", what, p.field.c_str(),
                         p.field.empty() ? "" : ": ", p.message.c_str());
        }
        const bool warnings = std::all_of(r.problems.begin(), r.problems.end(),
                                          [](const Problem &p) { return p.warning; });
        std::fprintf(err, "dssetup %s: nothing was sent%s\n", what,
                     warnings ? " (--force sends it all the same)" : "");
    } else {
        std::fprintf(err, "dssetup %s: %s\n", what, r.message.c_str());
    }
    return r.exit;
}

// Best effort: completion works without it. The file is `macs` in the cache folder.
void RememberMacs(const std::string &cache_dir, const Result &r) {
    const std::string path = cache_dir.empty() ? std::string() : cache_dir + "/macs";
    if (path.empty() || !r.data.contains("appliances")) {
        return;
    }
    const std::string dir = path.substr(0, path.rfind('/'));
    mkdir(dir.substr(0, dir.rfind('/')).c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    const std::string temp = path + ".new";
    std::FILE *f = std::fopen(temp.c_str(), "w");
    if (f == nullptr) {
        return;
    }
    bool ok = true;
    for (const Json &a : r.data["appliances"]) {
        ok = std::fprintf(f, "%s\n", a["mac"].get<std::string>().c_str()) > 0 && ok;
    }
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
    }
}

// Reads a password: from the terminal without echo, or one line of standard input.
bool ReadPassword(const char *prompt, std::string *password) {
    const bool tty = isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (tty) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    password->clear();
    bool got = false;
    for (;;) {
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got = true;
        if (c == '\n') {
            break;
        }
        *password += c;
    }
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!password->empty() && password->back() == '\r') {
        password->pop_back();
    }
    return got;
}

// passwd and verify: the appliance is found first, then the password asked for.
Result Password(int fd, const Options &options, const Target &target) {
    const bool set = options.command == Command::kPasswd;
    Located where;
    Result found = Locate(fd, options, target, &where);
    if (!found.ok) {
        return found;
    }
    std::string password;
    if (!ReadPassword(set ? "New password: " : "Password: ", &password)) {
        return Usage("no password given");
    }
    if (set && isatty(STDIN_FILENO) != 0) {
        std::string again;
        if (!ReadPassword("Again: ", &again) || again != password) {
            return Usage("the passwords differ; nothing was sent");
        }
    }
    return SendPassword(fd, options, where, set, password);
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

Result Bench(int fd, const Options &options, const Target &target) {
    Located where;
    Result found = Locate(fd, options, target, &where);
    if (!found.ok) {
        return found;
    }
    const char *names[] = {"identify", "read settings"};
    Result r = Succeeded("round trips measured");
    for (int which = 0; which < 2; ++which) {
        std::vector<double> times;
        for (int i = 0; i < options.count; ++i) {
            const Bytes request =
                which == 0 ? BuildIdentify(NextSequence()) : BuildReadSettings(NextSequence());
            Reply reply;
            std::string error;
            const auto start = Clock::now();
            if (!Exchange(fd, options, &where.address, request, nullptr, &reply, &error)) {
                return NoAnswer(error.empty() ? "no answer from " + where.info.address : error);
            }
            times.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        char line[160];
        std::snprintf(line, sizeof line, "%-14s median %.3f ms, min %.3f ms, max %.3f ms over %d\n",
                      names[which], Median(times), *std::min_element(times.begin(), times.end()),
                      *std::max_element(times.begin(), times.end()), options.count);
        r.text += line;
    }
    return r;
}

}  // namespace

int RunCommand(const Options &options, std::FILE *out, std::FILE *err) {
    if (options.version) {
        std::fprintf(out, "%s\n", VersionText().c_str());
        return kExitOk;
    }
    if (options.help) {
        std::fputs(UsageText(options.command).c_str(), out);
        return kExitOk;
    }
    Target target;
    if (options.command != Command::kDiscover && options.command != Command::kUi &&
        !ParseTarget(options.target, options.port, &target)) {
        return Output(options,
                      Usage(options.target + " is neither a MAC address nor an IP address"), out,
                      err);
    }
    Bytes file;
    if (options.command == Command::kPrint && !ReadAll(options.file, &file)) {
        return Output(options, Usage("cannot read " + options.file + ": " + strerror(errno)), out,
                      err);
    }
    std::string error;
    const int fd = OpenSocket(options, &error);
    if (fd < 0) {
        return Output(options, NoAnswer(error), out, err);
    }
    Result r;
    switch (options.command) {
        case Command::kDiscover:
            r = Discover(fd, options);
            if (r.ok) {
                RememberMacs(options.cache_dir, r);
            }
            break;
        case Command::kShow:
            r = Show(fd, options, target);
            break;
        case Command::kSet:
        case Command::kRescue: {
            Progress progress(err, !options.json && isatty(fileno(err)) != 0);
            SetHooks hooks;
            if (!options.json) {
                hooks.say = [out](const std::string &line) {
                    std::fprintf(out, "%s\n", line.c_str());
                    std::fflush(out);
                };
                hooks.progress = [&progress](const std::string &line) { progress.Show(line); };
            }
            r = options.command == Command::kSet ? Set(fd, options, target, hooks)
                                                 : Rescue(fd, options, target, hooks);
            break;
        }
        case Command::kPasswd:
        case Command::kVerify:
            r = Password(fd, options, target);
            break;
        case Command::kPrint:
            r = Print(fd, options, target, file);
            break;
        case Command::kBench:
            r = Bench(fd, options, target);
            break;
        case Command::kUi:  // served by client/ui, which main() calls for it
        case Command::kNone:
            r = Usage("no command given");
            break;
    }
    close(fd);
    return Output(options, r, out, err);
}

}  // namespace dssetup
