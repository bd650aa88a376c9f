// AppleTalk: the shared printer in printcap and papd.conf.
#include <cstdio>
#include <string_view>

#include "common/paths.h"
#include "common/scoped.h"
#include "common/util.h"
#include "share/share.h"
#include "share/share_io.h"
#include "share/share_passes.h"

namespace share {
namespace {

constexpr char kTag[] = "APPLE";
constexpr char kPrintcapTemplate[] = "/tmp/NeTa.lkXXXXXX";
constexpr char kPapdTemplate[] = "/tmp/nEtA.lKXXXXXX";
constexpr RewriteMessages kPrintcapMessages = {
    kTag,
    "Write apple/printcap tempfile fail",
    "Seek apple/printcap tempfile fail",
    "Write apple/printcap file back fail",
};
constexpr RewriteMessages kPapdMessages = {
    kTag,
    "Write apple/papd.conf tempfile fail",
    "Seek apple/papd.conf tempfile fail",
    "Write apple/papd.conf file back fail",
};
constexpr std::string_view kQueueOption = ":pr=";
constexpr std::string_view kFlagOption = ":tr=";
constexpr std::string_view kLaserWriter = "LaserWriter";

enum class Colons { kNone, kOne, kMore };

Colons CountColons(std::string_view line) {
    std::size_t first = line.find(':');
    if (first == std::string_view::npos) {
        return Colons::kNone;
    }
    return first == line.rfind(':') ? Colons::kOne : Colons::kMore;
}

bool IsDropped(std::string_view from_first_nonspace) {
    return from_first_nonspace.empty() || from_first_nonspace[0] == '#' ||
           from_first_nonspace[0] == '\n';
}

// A capability line with the value of `option` set to `value` (the rest of the line kept), or
// repaired to "<tab><option><repair_value>:\" when the value has no closing colon.
void PutOptionLine(LineReader &reader, std::string_view line, std::size_t at,
                   std::string_view option, const char *value, const char *repair_value,
                   const char *format_error, FILE *out) {
    std::size_t value_start = at + option.size();
    // The line end: its newline, or for the last line of a file without one, its end.
    std::size_t end = line.size();
    if (!reader.cut() && end > 0 && line[end - 1] == '\n') {
        --end;
    }
    if (value_start >= end && !reader.cut()) {
        return;  // no value and nothing behind it: the line is dropped
    }
    std::size_t colon = line.find(':', value_start);
    if (colon != std::string_view::npos && colon < end) {
        std::fprintf(out, "\t%.*s%s", static_cast<int>(option.size()), option.data(), value);
        PutLineFrom(reader, TextFrom(line, colon), out);
        return;
    }
    NETDebugMsg(kTag, format_error);
    std::fprintf(out, "\t%.*s%s:\\\n", static_cast<int>(option.size()), option.data(),
                 repair_value);
}

void PutCapability(LineReader &reader, std::string_view line, const AtalkInfo &info, FILE *out) {
    std::size_t at = line.find(kQueueOption);
    if (at != std::string_view::npos) {
        PutOptionLine(reader, line, at, kQueueOption, info.printer_name, info.printer_name,
                      "Read papd.conf/pr format error", out);
        return;
    }
    at = line.find(kFlagOption);
    if (at != std::string_view::npos) {
        const char *flag = StartsWithNoCase(info.printer_client, kLaserWriter) ? "yes" : "no";
        PutOptionLine(reader, line, at, kFlagOption, flag, "yes", "Read papd.conf/tr format error",
                      out);
        return;
    }
    PutLineFrom(reader, line, out);
}

}  // namespace

void RewritePrintcapApple(FILE *in, FILE *out, const AtalkInfo &info) {
    LineReader reader(in);
    bool header_done = false;
    while (reader.Next()) {
        std::string_view line = SkipSpaces(reader.text());
        if (IsDropped(line)) {
            continue;
        }
        if (header_done) {
            PutLineFrom(reader, reader.text(), out);
            continue;
        }
        header_done = true;
        switch (CountColons(line)) {
            case Colons::kNone:
                NETDebugMsg(kTag, "Read apple/printcap format invalid");
                std::fprintf(out, "%s:\\\n", info.printer_name);
                break;
            case Colons::kOne: {
                // Aliases (and a description) behind the name stay: "|..." up to the colon.
                std::size_t colon = line.find(':');
                std::size_t bar = line.find('|');
                std::string_view aliases =
                    bar < colon ? TextPiece(line, bar, colon - bar) : std::string_view();
                std::fprintf(out, "%s%.*s:\\\n", info.printer_name,
                             static_cast<int>(aliases.size()), aliases.data());
                break;
            }
            case Colons::kMore:
                std::fprintf(out, "%s:\\\n", info.printer_name);
                PutLineFrom(reader, line, out);
                break;
        }
    }
}

void RewritePapdConf(FILE *in, FILE *out, const AtalkInfo &info) {
    LineReader reader(in);
    bool header_done = false;
    while (reader.Next()) {
        std::string_view line = SkipSpaces(reader.text());
        if (IsDropped(line)) {
            continue;
        }
        if (header_done) {
            PutCapability(reader, line, info, out);
            continue;
        }
        header_done = true;
        switch (CountColons(line)) {
            case Colons::kOne:
                std::fprintf(out, "%s\\072%s:\\\n", info.printer_name, info.printer_type);
                break;
            case Colons::kNone:
                NETDebugMsg(kTag, "Read apple/papd.conf format invalid");
                std::fprintf(out, "%s\\072d%s:\\\n", info.printer_name, info.printer_type);
                break;
            case Colons::kMore:
                std::fprintf(out, "%s\\072d%s:\\\n", info.printer_name, info.printer_type);
                PutCapability(reader, line, info, out);
                break;
        }
    }
}

}  // namespace share

int APPLEWriteNetatalkPrinterData(AtalkInfo *info) {
    using share::kTag;
    // Name and type are fields of the printcap and papd.conf entry headers ("name\072type:");
    // the client name is only compared, never written.
    share::CleanField(info->printer_name, sizeof info->printer_name, kTag, share::kPrinterNameRule);
    share::CleanField(info->printer_type, sizeof info->printer_type, kTag, share::kPrinterTypeRule);
    info->printer_client[sizeof info->printer_client - 1] = '\0';
    if (info->printer_name[0] == '\0') {
        std::snprintf(info->printer_name, sizeof info->printer_name, "%s", "lp");
        NETDebugMsg(kTag, "Input Empty printer name, use default");
    }
    if (info->printer_type[0] == '\0') {
        std::snprintf(info->printer_type, sizeof info->printer_type, "%s", "LaserWriter");
        NETDebugMsg(kTag, "Input Empty MAC printer type, use default");
    }
    if (info->printer_client[0] == '\0') {
        std::snprintf(info->printer_client, sizeof info->printer_client, "%s", "LaserWriter");
        NETDebugMsg(kTag, "Input Empty MAC printer name, use default");
    }

    const share::RewriteStep printcap = {paths::kPrintcap, share::kPrintcapTemplate,
                                         "Read printcap fail", "Open apple/printcap tempfile fail",
                                         share::kPrintcapMessages};
    int rc = share::RewriteFile(
        printcap, [info](FILE *in, FILE *out) { share::RewritePrintcapApple(in, out, *info); });
    if (rc != 0) {
        return rc;
    }
    // A papd.conf that cannot be opened is traced like the printcap: the trace this step has
    // always given.
    const share::RewriteStep papd = {paths::kPapdConf, share::kPapdTemplate, "Read printcap fail",
                                     "Open apple/papd.conf tempfile fail", share::kPapdMessages};
    return share::RewriteFile(
        papd, [info](FILE *in, FILE *out) { share::RewritePapdConf(in, out, *info); });
}
