// libFuzzer harness of the recovery of an interrupted rewrite (common/inplace_rewrite.h), as
// every writer, cfgsync and the agent's start-up run it: the mark of the temporary file torn,
// stale or hostile (garbage, a record of a wrong size, device, inode or path, a symbolic link,
// a FIFO, a folder, a second name of the target), the temporary file too. Besides the
// sanitizers (and libFuzzer's time-out: a FIFO must never be waited on), the harness checks
// that the target is overwritten only from a whole record that names it by its device and
// inode and vouches for the copy's exact size, and then holds the copy; that nothing else in
// the folder is written; and that no record is left to be trusted once the recovery reports
// success.
//
// Input: three bytes choosing what stands at the mark, at the temporary file and how the
// record is made, then NUL-separated: the copy, the target's contents, and the mark's text
// (made into a record, or taken as it is with "@T" standing for the target's path and every
// other '/' made harmless, so that no record names a file outside the harness's folder).
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/system_file.h"
#include "fuzz/fuzz_dir.h"
#include "fuzz/input_cursor.h"

namespace {

[[noreturn]] void Breach(const char *what) {
    std::fprintf(stderr, "mark_fuzz: %s\n", what);
    std::abort();
}

void Put(const std::string &path, const std::string &text) {
    if (!fuzzdir::Write(path, reinterpret_cast<const std::uint8_t *>(text.data()), text.size())) {
        Breach("cannot seed a file");
    }
}

// What stands at a path: 0 a regular file with `text`, 1 a symbolic link to `target`, 2 a
// FIFO, 3 a folder, 4 a second name of `target`, else nothing.
void Make(const std::string &path, int kind, const std::string &text, const std::string &target) {
    switch (kind) {
        case 0:
            Put(path, text);
            break;
        case 1:
            (void)!symlink(target.c_str(), path.c_str());
            break;
        case 2:
            (void)!mkfifo(path.c_str(), 0644);
            break;
        case 3:
            (void)!mkdir(path.c_str(), 0755);
            break;
        case 4:
            (void)!link(target.c_str(), path.c_str());
            break;
        default:
            break;
    }
}

void Clear(const std::string &path) {
    if (unlink(path.c_str()) != 0) {
        (void)!rmdir(path.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (fuzzdir::Get("mk").empty()) {
        return 0;
    }
    const std::string target = fuzzdir::File("smb.conf");
    const std::string temp = fuzzdir::File("sysfile.tmp");
    const std::string mark = temp + ".mark";
    const std::string other = fuzzdir::File("other");
    for (const std::string &path : {target, temp, mark, other}) {
        Clear(path);
    }

    fuzzinput::Cursor in(data, size);
    const int mark_kind = in.Byte() % 6;
    const int temp_kind = in.Byte() % 4;
    const std::uint8_t how = in.Byte();
    const std::string copy = in.Text();
    const std::string old_text = in.Text();
    std::string mark_text = in.Text();
    Put(target, old_text);
    Put(other, "untouched\n");
    struct stat st {};
    if (stat(target.c_str(), &st) != 0) {
        return 0;
    }
    if ((how & 1) != 0) {
        // A record, right or wrong in each of its fields.
        const long long size_field = static_cast<long long>(copy.size()) +
                                     ((how & 2) != 0 ? static_cast<signed char>(in.Byte()) : 0);
        const unsigned long long dev = st.st_dev + ((how & 4) != 0 ? 1 : 0);
        // (Far from the inode of any file of the folder, the one named "other" included.)
        const unsigned long long ino = st.st_ino + ((how & 8) != 0 ? 1000003 : 0);
        const std::string path = (how & 16) != 0   ? other
                                 : (how & 32) != 0 ? fuzzdir::Path()
                                                   : target;
        mark_text = std::to_string(size_field) + " " + std::to_string(dev) + " " +
                    std::to_string(ino) + " " + path + ((how & 64) != 0 ? "" : "\n") + mark_text;
    } else {
        for (char &c : mark_text) {
            c = c == '/' ? '_' : c;
        }
        for (std::size_t at = mark_text.find("@T"); at != std::string::npos;
             at = mark_text.find("@T", at + target.size())) {
            mark_text.replace(at, 2, target);
        }
    }
    Make(temp, temp_kind, copy, target);
    Make(mark, mark_kind, mark_text, target);

    // Whether the recovery may trust the record: a whole one, in a mark and a copy that are
    // regular files of one name, naming the target by its path, device and inode, for a copy of
    // its exact (non-zero) size.
    const std::string whole = std::to_string(copy.size()) + " " + std::to_string(st.st_dev) + " " +
                              std::to_string(st.st_ino) + " " + target + "\n";
    const bool trusted = mark_kind == 0 && temp_kind == 0 && !copy.empty() && mark_text == whole;
    const std::string expected = trusted ? copy : old_text;

    const int rc = RecoverSystemFilesThrough(temp.c_str());
    if (rc != kSysFileOk && rc != kSysFileWriteFail) {
        Breach("an unknown result");
    }
    if (fuzzdir::Read(target) != expected) {
        Breach(trusted ? "a trusted copy was not written back" : "the target was written");
    }
    if (fuzzdir::Read(other) != "untouched\n") {
        Breach("a file the record does not vouch for was written");
    }
    struct stat ms {};
    if (rc == kSysFileOk && lstat(mark.c_str(), &ms) == 0 && S_ISREG(ms.st_mode) &&
        ms.st_nlink == 1 && ms.st_size != 0) {
        Breach("a record was left after a recovery that reported success");
    }
    return 0;
}
