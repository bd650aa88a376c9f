// Windows networking: name and description of the shared printer in printcap.
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

constexpr char kTag[] = "SAMBA";
constexpr char kPrintcapTemplate[] = "/tmp/sAm.BaXXXXXX";
constexpr RewriteMessages kPrintcapMessages = {
    kTag,
    "Write samba/printcap tempfile fail",
    "Seek samba/printcap tempfile fail",
    "Write samba/printcap file back fail",
};

void PutHeader(FILE *out, const SambaInfo &info) {
    if (info.printer_comment[0] != '\0') {
        std::fprintf(out, "%s|%s :\\\n", info.printer_name, info.printer_comment);
    } else {
        std::fprintf(out, "%s:\\\n", info.printer_name);
    }
}

}  // namespace

void RewritePrintcapSamba(FILE *in, FILE *out, const SambaInfo &info) {
    LineReader reader(in);
    bool header_done = false;
    while (reader.Next()) {
        std::string_view line = SkipSpaces(reader.text());
        if (line.empty() || line[0] == '#' || line[0] == '\n') {
            continue;
        }
        if (header_done) {
            PutLineFrom(reader, reader.text(), out);
            continue;
        }
        header_done = true;
        std::size_t first = line.find(':');
        if (first == std::string_view::npos) {
            NETDebugMsg(kTag, "Read samba/printcap format invalid");
            PutHeader(out, info);
        } else if (first == line.rfind(':')) {
            PutHeader(out, info);
        } else {
            // The header line also carries capabilities: they stay behind the new header.
            PutHeader(out, info);
            PutLineFrom(reader, line, out);
        }
    }
}

}  // namespace share

int SMBWriteSambaPrinterData(SambaInfo *info) {
    using share::kTag;
    // Name and comment are fields of the entry header: a ':' would add a capability, a '|' an
    // alias ("x:lp=/tmp/EVIL:" in the comment must not point the printer elsewhere). The
    // comment is cut to 80 characters: the field's last byte ends the text.
    share::CleanField(info->printer_name, sizeof info->printer_name, kTag, share::kPrinterNameRule);
    share::CleanField(info->printer_comment, sizeof info->printer_comment, kTag,
                      share::kPrinterCommentRule);
    if (info->printer_name[0] == '\0') {
        std::snprintf(info->printer_name, sizeof info->printer_name, "%s", "lp");
        NETDebugMsg(kTag, "Input Empty printer name, use default");
    }

    const share::RewriteStep step = {paths::kPrintcap, share::kPrintcapTemplate,
                                     "Read printcap fail", "Open samba/printcap tempfile fail",
                                     share::kPrintcapMessages};
    return share::RewriteFile(
        step, [info](FILE *in, FILE *out) { share::RewritePrintcapSamba(in, out, *info); });
}
