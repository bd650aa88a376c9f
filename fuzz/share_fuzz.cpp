// libFuzzer harness of the Samba and AppleTalk rewrites' text passes on file contents.
//
// Input: a settings record (the bytes of a SambaInfo and an AtalkInfo, each field ended and
// cleaned by its rule as the Set functions do, which must keep its length), one flag byte, then the
// old file. Every pass runs on it: smb.conf with and without WINS and the global header, printcap
// for Samba and AppleTalk, papd.conf, atalkd.conf. Besides the sanitizers, the harness checks
// that a pass never puts a control character of its own making into the output (every byte
// below 0x20 other than TAB and line feed in the output must come from the old file).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "share/share.h"
#include "share/share_io.h"
#include "share/share_passes.h"

namespace {

[[noreturn]] void Breach() {
    std::abort();
}

// Fields that no file takes as text only lose their control characters here.
constexpr share::FieldRule kPlainRule = {"field", ' ', "", "", 0, 0};

// Cleaning replaces, it never cuts: the field keeps its length.
template <std::size_t N>
void Clean(char (&field)[N], const share::FieldRule &rule = kPlainRule) {
    field[N - 1] = '\0';
    const std::size_t before = std::strlen(field);
    share::CleanField(field, N, "FUZZ", rule);
    if (std::strlen(field) != before || !share::FieldIsClean(field, rule)) {
        Breach();
    }
}

// Output of one pass, through a memory stream.
template <typename Pass>
std::string RunPass(const std::uint8_t *file, std::size_t size, Pass &&pass) {
    // fmemopen cannot open an empty buffer for reading: a byte of room, nothing in it.
    static const char kNothing[1] = {0};
    FILE *in = size > 0 ? fmemopen(const_cast<std::uint8_t *>(file), size, "r")
                        : fmemopen(const_cast<char *>(kNothing), 1, "r");
    if (in == nullptr) {
        return {};
    }
    if (size == 0) {
        (void)std::fgetc(in);  // at its end
    }
    char *text = nullptr;
    std::size_t length = 0;
    FILE *out = open_memstream(&text, &length);
    if (out == nullptr) {
        std::fclose(in);
        return {};
    }
    pass(in, out);
    std::fclose(out);
    std::fclose(in);
    std::string result(text, length);
    std::free(text);
    return result;
}

bool HasControl(const std::string &text) {
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7f) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    SambaInfo samba;
    AtalkInfo atalk;
    if (size < sizeof samba + sizeof atalk + 1) {
        return 0;
    }
    std::memcpy(&samba, data, sizeof samba);
    std::memcpy(&atalk, data + sizeof samba, sizeof atalk);
    const bool wins_on = (data[sizeof samba + sizeof atalk] & 1) != 0;
    const std::uint8_t *file = data + sizeof samba + sizeof atalk + 1;
    // The text rules on the raw fields: what they let through holds no control character.
    {
        char workgroup[sizeof samba.workgroup];
        char zone[sizeof atalk.zone];
        std::memcpy(workgroup, samba.workgroup, sizeof workgroup);
        std::memcpy(zone, atalk.zone, sizeof zone);
        workgroup[sizeof workgroup - 1] = '\0';
        zone[sizeof zone - 1] = '\0';
        if ((SMBWorkgroupIsSafe(workgroup) && HasControl(workgroup)) ||
            (APPLEZoneIsSafe(zone) && HasControl(zone))) {
            Breach();
        }
    }
    const std::size_t file_size = size - sizeof samba - sizeof atalk - 1;
    Clean(samba.state);
    Clean(samba.workgroup, share::kWorkgroupRule);
    Clean(samba.code_page, share::kCodePageRule);
    Clean(samba.printer_name, share::kPrinterNameRule);
    Clean(samba.printer_comment, share::kPrinterCommentRule);
    Clean(samba.wins_server);
    Clean(atalk.state);
    Clean(atalk.zone, share::kZoneRule);
    Clean(atalk.printer_name, share::kPrinterNameRule);
    Clean(atalk.printer_type, share::kPrinterTypeRule);
    Clean(atalk.printer_client);

    const bool file_has_control =
        HasControl(std::string(reinterpret_cast<const char *>(file), file_size));
    auto check = [&](const std::string &out) {
        if (!file_has_control && HasControl(out)) {
            Breach();
        }
    };

    check(RunPass(file, file_size, [&](FILE *in, FILE *out) {
        if (!share::RewriteSambaConf(in, out, samba, wins_on)) {
            share::WriteSambaGlobalHeader(out, samba, wins_on);
        }
    }));
    check(RunPass(file, file_size,
                  [&](FILE *in, FILE *out) { share::RewritePrintcapSamba(in, out, samba); }));
    check(RunPass(file, file_size,
                  [&](FILE *in, FILE *out) { share::RewritePrintcapApple(in, out, atalk); }));
    check(RunPass(file, file_size,
                  [&](FILE *in, FILE *out) { share::RewritePapdConf(in, out, atalk); }));
    check(RunPass(file, file_size, [&](FILE *in, FILE *out) {
        static char text[share::kAtalkdTextCapacity];
        std::size_t length = 0;
        if (share::BuildAtalkdText(in, atalk.zone, text, sizeof text, &length) == 0) {
            if (length >= sizeof text || text[length] != '\0') {
                Breach();
            }
            std::fwrite(text, 1, length, out);
        }
    }));
    // The whole-line reader alone: the pieces of every line add up to the file.
    (void)RunPass(file, file_size, [&](FILE *in, FILE *out) {
        share::LineReader reader(in);
        while (reader.Next()) {
            std::fwrite(reader.text().data(), 1, reader.text().size(), out);
            reader.CarryRest(out);
        }
    });
    return 0;
}
