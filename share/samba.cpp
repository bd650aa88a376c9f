// Windows networking: the global settings of smb.conf and the Samba service.
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/paths.h"
#include "common/scoped.h"
#include "common/switch_word.h"
#include "common/util.h"
#include "common/work_buffers.h"
#include "share/share.h"
#include "share/share_io.h"
#include "share/share_passes.h"

namespace share {
namespace {

constexpr char kTag[] = "SAMBA";
constexpr char kSambaTemplate[] = "/tmp/SaM.bAXXXXXX";
constexpr RewriteMessages kSmbConfMessages = {
    kTag,
    "Write samba configure tmpfile fail",
    "Seek samba configure tempfile fail",
    "Write samba configure file back fail",
};

// The global keys this system sets, in the order they are added when missing.
enum SambaKey { kWorkgroup, kCodePage, kWinsServer, kResolveOrder, kKeyCount };
constexpr std::array<std::string_view, kKeyCount> kKeyNames = {
    "workgroup",
    "client code page",
    "wins server",
    "name resolve order",
};
constexpr char kResolveOrderValue[] = "wins bcast";

const char *KeyValue(int key, const SambaInfo &info) {
    switch (key) {
        case kWorkgroup:
            return info.workgroup;
        case kCodePage:
            return info.code_page;
        case kWinsServer:
            return info.wins_server;
        default:
            return kResolveOrderValue;
    }
}

void PutKey(FILE *out, int key, const SambaInfo &info) {
    std::fprintf(out, "%s = %s\n", kKeyNames[static_cast<std::size_t>(key)].data(),
                 KeyValue(key, info));
}

// Which of the keys the line assigns (key, optional blanks, '='), or -1.
int AssignedKey(std::string_view line) {
    for (int k = 0; k < kKeyCount; ++k) {
        std::string_view name = kKeyNames[static_cast<std::size_t>(k)];
        if (StartsWithNoCase(line, name)) {
            std::string_view rest = SkipBlanks(TextFrom(line, name.size()));
            if (!rest.empty() && rest[0] == '=') {
                return k;
            }
        }
    }
    return -1;
}

// A section header: the line (from its first non-blank character) starts with '[' and has,
// at least one character later, a ']'. Brackets inside a value ("server string = Disk [2]")
// are part of the value: taken for a header they would end the global section early, and the
// keys behind them would stay unchanged after the rewrite.
bool HoldsSectionHeader(std::string_view line) {
    return !line.empty() && line[0] == '[' && line.find(']', 2) != std::string_view::npos;
}

// Comment and empty lines do not survive a rewrite.
bool IsDropped(std::string_view from_first_nonblank) {
    return from_first_nonblank.empty() || from_first_nonblank[0] == '#' ||
           from_first_nonblank[0] == ';' || from_first_nonblank[0] == '\n';
}

}  // namespace

bool RewriteSambaConf(FILE *in, FILE *out, const SambaInfo &info, bool wins_on) {
    LineReader reader(in);
    bool in_global = false;
    std::array<bool, kKeyCount> met = {};
    bool held = false;
    std::string_view held_line;
    bool ends_with_newline = true;  // of what was written last

    while (reader.Next()) {
        std::string_view line = SkipBlanks(reader.text());
        if (IsDropped(line)) {
            continue;
        }
        if (!in_global) {
            PutLineFrom(reader, line, out);
            ends_with_newline = reader.has_newline();
            in_global = StartsWithNoCase(line, "[global]");
            continue;
        }
        bool all_met = met[kWorkgroup] && met[kCodePage] && met[kWinsServer] && met[kResolveOrder];
        if (all_met || HoldsSectionHeader(line)) {
            held = true;
            held_line = line;
            break;
        }
        int key = AssignedKey(line);
        if (key < 0) {
            PutLineFrom(reader, line, out);
            ends_with_newline = reader.has_newline();
            continue;
        }
        met[static_cast<std::size_t>(key)] = true;
        if (key == kWorkgroup || key == kCodePage || wins_on) {
            PutKey(out, key, info);
            ends_with_newline = true;
        }
    }
    if (!in_global) {
        return false;
    }

    // A file that ends inside the global section without a final newline still gets the
    // missing keys on lines of their own.
    if (!ends_with_newline) {
        std::fputc('\n', out);
    }
    for (int key = 0; key < kKeyCount; ++key) {
        bool wanted = key == kWorkgroup || key == kCodePage || wins_on;
        if (wanted && !met[static_cast<std::size_t>(key)]) {
            PutKey(out, key, info);
        }
    }
    if (held) {
        PutLineFrom(reader, held_line, out);
    }
    while (reader.Next()) {
        if (!IsDropped(SkipBlanks(reader.text()))) {
            PutLineFrom(reader, reader.text(), out);
        }
    }
    return true;
}

void WriteSambaGlobalHeader(FILE *out, const SambaInfo &info, bool wins_on) {
    std::fputs("[global]\n", out);
    PutKey(out, kWorkgroup, info);
    PutKey(out, kCodePage, info);
    if (wins_on) {
        PutKey(out, kResolveOrder, info);
        PutKey(out, kWinsServer, info);
    }
}

}  // namespace share

using share::CleanField;

bool SMBWorkgroupIsSafe(const char *workgroup) {
    return share::FieldIsClean(workgroup, share::kWorkgroupRule);
}

int SMBSetSamba(SambaInfo *info) {
    bool on = false;
    if (!ParseSwitchWord(info->state, &on)) {
        NETDebugMsg(share::kTag, "Input Samba flag Invalid");
        return -6;
    }
    // Only a workgroup that is really empty switches sharing off; one that needs cleaning is
    // cleaned by the rewrite.
    info->workgroup[sizeof info->workgroup - 1] = '\0';
    if (info->workgroup[0] == '\0') {
        on = false;
    }
    if (!on) {
        return share::RunService(paths::kSmbInit, "stop") == -1 ? -1 : 0;
    }
    int rc = SMBWriteSambaData(info);
    if (rc != 0) {
        NETDebugMsg(share::kTag, "Write SambaData Fail");
        return rc;
    }
    return share::RunService(paths::kSmbInit, "restart");
}

int SMBWriteSambaData(SambaInfo *info) {
    using share::kTag;
    // A value must not continue its line or start another; of the WINS server only its
    // address part is written. A value that is blank after cleaning reads as empty in Samba:
    // it gets the default.
    CleanField(info->workgroup, sizeof info->workgroup, kTag, share::kWorkgroupRule);
    CleanField(info->code_page, sizeof info->code_page, kTag, share::kCodePageRule);
    info->wins_server[sizeof info->wins_server - 1] = '\0';
    info->wins_server[address_text_length(info->wins_server)] = '\0';
    if (share::IsBlank(info->workgroup)) {
        std::snprintf(info->workgroup, sizeof info->workgroup, "%s", "workgroup");
        NETDebugMsg(kTag, "Input Empty workgroup, use default");
    }
    if (share::IsBlank(info->code_page)) {
        std::snprintf(info->code_page, sizeof info->code_page, "%s", "437");
        NETDebugMsg(kTag, "Input Empty code page, use default");
    }
    if (info->wins_server[0] == '\0' || std::strcmp(info->wins_server, "0.0.0.0") == 0) {
        std::memset(info->wins_server, 0, sizeof info->wins_server);
        NETDebugMsg(kTag, "Input Empty WINS server, disable it");
    }
    const bool wins_on = info->wins_server[0] != '\0';

    UniqueFile conf(std::fopen(paths::kSmbConf, "r"));
    if (!conf) {
        NETDebugMsg(kTag, "Read smb.conf fail");
        return -2;
    }
    {
        share::RewriteTemp temp(share::kSambaTemplate);
        if (!temp.valid()) {
            NETDebugMsg(kTag, "Open samba tempfile fail");
            return -2;
        }
        bool has_global = share::RewriteSambaConf(conf.get(), temp.stream(), *info, wins_on);
        if (std::ferror(conf.get()) != 0) {
            NETDebugMsg(kTag, "Read smb.conf fail");
            return -2;
        }
        if (has_global) {
            conf.reset();
            int rc = share::CopyBack(temp, paths::kSmbConf, share::kSmbConfMessages);
            if (rc != 0) {
                return rc;
            }
            return SMBWriteSambaPrinterData(info);
        }
    }

    // No global section at all: a new one goes in front of the whole old text.
    conf.reset(std::fopen(paths::kSmbConf, "r"));
    if (!conf) {
        NETDebugMsg(kTag, "Open samba configure file fail");
        return -2;
    }
    share::RewriteTemp temp(share::kSambaTemplate);
    if (!temp.valid()) {
        NETDebugMsg(kTag, "Open samba tempfile fail");
        return -2;
    }
    share::WriteSambaGlobalHeader(temp.stream(), *info, wins_on);
    for (;;) {
        std::size_t n = std::fread(filebuffer, 1, kFileBufferSize, conf.get());
        if (n == 0) {
            break;
        }
        if (std::fwrite(filebuffer, 1, n, temp.stream()) != n) {
            NETDebugMsg(kTag, "Write samba configure tmpfile fail");
            return -4;
        }
    }
    if (std::ferror(conf.get()) != 0) {
        NETDebugMsg(kTag, "Read smb.conf fail");
        return -2;
    }
    conf.reset();
    int rc = share::CopyBack(temp, paths::kSmbConf, share::kSmbConfMessages);
    if (rc != 0) {
        return rc;
    }
    return SMBWriteSambaPrinterData(info);
}
