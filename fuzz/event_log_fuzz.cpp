// libFuzzer harness of the event log on a hostile existing log: any contents (lines of any
// length, none at all, NUL bytes, thousands of them), or a symbolic link, a FIFO, a folder or a
// second name of another file at its path, with a leftover mark of an earlier entry. Besides
// the sanitizers (and libFuzzer's time-out: a FIFO must never be waited on), the harness
// checks that a written entry comes first, followed by the old log's beginning unchanged and
// at most 999 of its lines; that a log that was not written keeps its contents; and that
// nothing is written through a link.
//
// Input: one byte choosing what stands at the log's path (and whether a torn mark is left),
// then NUL-separated: the old log, the source and the message of the entry.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/event_log_internal.h"
#include "fuzz/fuzz_dir.h"
#include "fuzz/input_cursor.h"

// The time of each entry also goes to the system log: not from a harness.
extern "C" void syslog(int, const char *, ...) {}

namespace {

[[noreturn]] void Breach(const char *what) {
    std::fprintf(stderr, "event_log_fuzz: %s\n", what);
    std::abort();
}

void Put(const std::string &path, const std::string &text) {
    if (!fuzzdir::Write(path, reinterpret_cast<const std::uint8_t *>(text.data()), text.size())) {
        Breach("cannot seed a file");
    }
}

void Clear(const std::string &path) {
    if (unlink(path.c_str()) != 0) {
        (void)!rmdir(path.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (fuzzdir::Get("el").empty() || size == 0) {
        return 0;
    }
    const std::string log = fuzzdir::File("DS_log");
    const std::string temp = fuzzdir::File("DS_log.tmp");
    const std::string mark = temp + ".mark";
    const std::string secret = fuzzdir::File("secret");
    for (const std::string &path : {log, temp, mark, secret}) {
        Clear(path);
    }
    fuzzinput::Cursor in(data, size);
    const std::uint8_t choice = in.Byte();
    const int kind = choice % 5;
    const std::string old_log = in.Text();
    const std::string source = in.Text();
    const std::string message = in.Text();
    Put(secret, old_log);
    switch (kind) {
        case 0:
            Put(log, old_log);
            break;
        case 1:
            (void)!symlink(secret.c_str(), log.c_str());
            break;
        case 2:
            (void)!mkfifo(log.c_str(), 0644);
            break;
        case 3:
            (void)!link(secret.c_str(), log.c_str());
            break;
        default:
            break;  // no log yet
    }
    if ((choice & 0x80) != 0) {
        Put(temp, "a copy of another time\n");
        Put(mark, "23 1 2 " + log);  // torn: no line feed
    }

    const int rc = SetLogMsgAt(log.c_str(), temp.c_str(), source.c_str(), message.c_str());
    if (fuzzdir::Read(secret) != old_log) {
        Breach("a file was written through a link to it");
    }
    struct stat st {};
    const bool regular = lstat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const std::string now = regular ? fuzzdir::Read(log) : std::string();
    if (rc != kLogOk) {
        if (kind == 0 && now != old_log) {
            Breach("a log that was not written changed");
        }
        return 0;
    }
    if (!regular || (kind != 0 && kind != 4)) {
        Breach("an entry reported written where no log of its own could be");
    }
    // "MM/DD/YYYY HH:MM:SS source:message\n", then the old log's beginning.
    // (The texts are the agent's own, so they may hold anything; the entry is as long as they.)
    const std::string tail = source + ":" + message + "\n";
    const std::size_t entry = 20 + tail.size();
    if (now.size() < entry || now[10] != ' ' || now[19] != ' ' ||
        now.compare(20, tail.size(), tail) != 0) {
        Breach("the new entry is not the first line");
    }
    const std::string kept = now.substr(entry);
    const std::string before = kind == 0 ? old_log : std::string();
    if (before.compare(0, kept.size(), kept) != 0) {
        Breach("the old entries did not stay as they were");
    }
    std::size_t lines = 0;
    for (char c : kept) {
        lines += c == '\n' ? 1 : 0;
    }
    if (lines > kLogMaxLines - 1) {
        Breach("more than 1000 lines");
    }
    return 0;
}
