// AppleTalk: the zone in atalkd.conf and the AppleTalk service.
#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/paths.h"
#include "common/scoped.h"
#include "common/switch_word.h"
#include "common/util.h"
#include "share/share.h"
#include "share/share_io.h"
#include "share/share_passes.h"

namespace share {
namespace {

constexpr char kTag[] = "APPLE";

// Appends to a fixed text buffer; once something does not fit, the text is marked as overflowed
// and nothing more is added.
class TextBuilder {
  public:
    TextBuilder(char *text, std::size_t capacity) : text_(text), capacity_(capacity) {
        if (capacity_ > 0) {
            text_[0] = '\0';
        }
    }
    void Append(std::string_view s) {
        if (overflow_ || length_ + s.size() >= capacity_) {
            overflow_ = true;
            return;
        }
        std::memcpy(text_ + length_, s.data(), s.size());
        length_ += s.size();
        text_[length_] = '\0';
    }
    void DropFinalNewline() {
        if (length_ > 0 && text_[length_ - 1] == '\n') {
            text_[--length_] = '\0';
        }
    }
    std::size_t length() const { return length_; }
    bool overflow() const { return overflow_; }

  private:
    char *text_;
    std::size_t capacity_;
    std::size_t length_ = 0;
    bool overflow_ = false;
};

void AppendZoneOption(TextBuilder &t, const char *zone) {
    t.Append(" -zone \"");
    t.Append(zone);
    t.Append("\"");
}

// After "-zone" and its spaces: the rest of the line behind the old value.
std::string_view SkipOldZone(std::string_view q) {
    if (!q.empty() && q[0] == '"') {
        std::size_t close = q.find('"', 1);
        if (close == std::string_view::npos) {
            return TextFrom(q, 1);  // no closing quote: the old words stay as ordinary words
        }
        return SkipSpaces(TextFrom(q, close + 1));
    }
    if (!q.empty() && q[0] == '-') {
        return q;  // no value: the next option follows
    }
    std::size_t dash = q.find('-');
    return dash == std::string_view::npos ? TextFrom(q, q.size()) : TextFrom(q, dash);
}

}  // namespace

int BuildAtalkdText(FILE *in, const char *zone, char *text, std::size_t capacity,
                    std::size_t *length) {
    TextBuilder t(text, capacity);
    if (in == nullptr) {
        t.Append(paths::kInterface);
        AppendZoneOption(t, zone);
    } else {
        LineReader reader(in);
        bool zone_met = false;
        while (reader.Next()) {
            if (reader.cut()) {
                return -1;  // a line longer than the whole text may be
            }
            std::string_view p = SkipSpaces(reader.text());
            if (!p.empty() && p[0] == '#') {
                continue;
            }
            for (std::size_t space = p.find(' '); space != std::string_view::npos;
                 space = p.find(' ')) {
                std::string_view word = TextHead(p, space);
                if (TextHead(word, 5) == "-zone") {
                    zone_met = true;
                    p = SkipOldZone(SkipSpaces(TextFrom(p, space)));
                    AppendZoneOption(t, zone);
                } else {
                    if (t.length() > 0) {
                        t.Append(" ");
                    }
                    t.Append(word);
                    p = SkipSpaces(TextFrom(p, space));
                }
            }
            // The last word and the line end.
            if (p.size() <= 1) {
                continue;
            }
            if (p.find("-zone") != std::string_view::npos) {
                zone_met = true;
                AppendZoneOption(t, zone);
            } else {
                t.Append(" ");
                t.Append(p);
            }
        }
        if (!zone_met) {
            t.DropFinalNewline();
            AppendZoneOption(t, zone);
        }
    }
    if (t.overflow()) {
        return -1;
    }
    *length = t.length();
    return 0;
}

}  // namespace share

bool APPLEZoneIsSafe(const char *zone) {
    return share::FieldIsClean(zone, share::kZoneRule);
}

int APPLESetNetatalk(AtalkInfo *info) {
    bool on = false;
    if (!ParseSwitchWord(info->state, &on)) {
        NETDebugMsg(share::kTag, "Input Netatalk flag Invalid");
        return -6;
    }
    // Only a zone that is really empty switches AppleTalk off; one that needs cleaning is
    // cleaned by the rewrite.
    info->zone[sizeof info->zone - 1] = '\0';
    if (info->zone[0] == '\0') {
        on = false;
    }
    if (!on) {
        return share::RunService(paths::kAtalkInit, "stop");
    }
    int rc = APPLEWriteNetatalkData(info);
    if (rc != 0) {
        return rc;
    }
    return share::RunService(paths::kAtalkInit, "restart");
}

int APPLEWriteNetatalkData(AtalkInfo *info) {
    using share::kTag;
    // The zone is written in double quotes: a quote or a backslash in it is replaced, so that
    // 'Office" -phase 1 -addr 1.2' cannot add options.
    share::CleanField(info->zone, sizeof info->zone, kTag, share::kZoneRule);
    if (info->zone[0] == '\0') {
        std::snprintf(info->zone, sizeof info->zone, "%s", "*");
        NETDebugMsg(kTag, "Input Empty zone name, use default");
    }

    // The whole new text is built before the file is opened for writing, so that a text that
    // cannot be built whole leaves the old file as it is.
    char text[share::kAtalkdTextCapacity];
    std::size_t length = 0;
    int rc;
    {
        UniqueFile in(std::fopen(paths::kAtalkdConf, "r"));
        if (!in) {
            NETDebugMsg(kTag, "Read atalk.conf fail");
        }
        rc = share::BuildAtalkdText(in.get(), info->zone, text, sizeof text, &length);
        if (in && std::ferror(in.get()) != 0) {
            NETDebugMsg(kTag, "Read atalk.conf fail");
            return -2;
        }
    }
    if (rc != 0) {
        NETDebugMsg(kTag, "atalk.conf too long, not written");
        return -4;
    }

    UniqueFd out(::open(paths::kAtalkdConf, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
    if (!out.valid()) {
        NETDebugMsg(kTag, "Open atalk.conf fail");
        return -2;
    }
    if (share::WriteAll(out.get(), text, length) != 0 || out.reset() != 0) {
        NETDebugMsg(kTag, "Write atalk.conf fail");
        return -4;
    }
    return APPLEWriteNetatalkPrinterData(info);
}
