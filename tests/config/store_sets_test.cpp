// ReadCFGDataSet and WriteCFGDataSet against the single calls they stand for: on a range of
// files, each key of a set reads as it would alone, and a series of writes leaves the file and
// the results that the same WriteCFGData calls would.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/cfg.h"
#include "config/cfg_internal.h"
#include "tests/support/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::WriteFile;

const std::vector<std::string> &Files() {
    static const std::vector<std::string> files = {
        "",
        "[network]\nip_addr = 1.2.3.4  \nnetmask=255.0.0.0\n",
        "top=1\n[network]\nip_addr=1\n[network]\ngateway=2\n[other]\nip_addr=3\n",
        "[network]\nip_addr=1\n=broken\ngateway=2\n",
        "[network]\nw_d_name=" + std::string(300, 'w') + "\nip_addr=5\n",
        "[network]\ncomment=a \\\n  b\nip_addr=6\nip_addr=7\n",
        std::string("[network]\nip_addr=8\n\0gateway=9\n", 30),
        "[other]\nx=1",
        "# only a comment\n[net\nip_addr=1\n",
        "[network]\nip_addr=1\nx=abc\\",
    };
    return files;
}

TEST(StoreSets, EachKeyOfAReadSetReadsAsItWouldAlone) {
    testutil::TempDir dir;
    const std::string path = dir.file("CGI_ds.conf");
    const std::string temp = dir.file("CGI_ds.conf.tmp");
    const char *keys[] = {"ip_addr", "gateway", "netmask", "w_d_name", "comment",
                          "top",     "absent",  "ip_addr", "x",        nullptr};
    const int sizes[] = {16, 2, 256, 0, 300, 1, 8, 3, 256, 16};
    constexpr std::size_t kCount = 10;
    for (const char *section : {"network", "", "other"}) {
        for (std::size_t f = 0; f < Files().size(); ++f) {
            WriteFile(path, Files()[f]);
            std::vector<std::string> alone(kCount), together(kCount);
            CfgRead reads[kCount];
            for (std::size_t i = 0; i < kCount; ++i) {
                alone[i].assign(static_cast<std::size_t>(sizes[i]) + 1, '?');
                together[i].assign(static_cast<std::size_t>(sizes[i]) + 1, '?');
                reads[i] = CfgRead{keys[i], together[i].data(), sizes[i], -99};
            }
            const int set_rc =
                cfg::ReadCFGDataSetWithTemp(path.c_str(), temp.c_str(), section, reads, 10);
            int first = 0;
            for (std::size_t i = 0; i < kCount; ++i) {
                const int rc =
                    ReadCFGData(path.c_str(), section, keys[i], alone[i].data(), sizes[i]);
                first = first != 0 ? first : rc;
                EXPECT_EQ(reads[i].result, rc) << "file " << f << " key " << i << " [" << section;
                EXPECT_EQ(together[i], alone[i]) << "file " << f << " key " << i;
            }
            EXPECT_EQ(set_rc, first) << "file " << f;
        }
    }
}

TEST(StoreSets, AWriteSetLeavesWhatTheSameWritesWouldOneByOne) {
    testutil::TempDir dir;
    const std::string one = dir.file("one.conf");
    const std::string set = dir.file("set.conf");
    CfgWrite writes[] = {
        {"ip_addr", "10.0.0.1", 0},  {"gateway", "10.0.0.254", 0}, {"bad=key", "x", 0},
        {"ip_addr", "10.0.0.2", 0},  {nullptr, "ignored", 0},      {"comment", "c:\\", 0},
        {"netmask", "255.0.0.0", 0}, {"new_key", "", 0},           {"gateway", "10.0.0.254", 0},
    };
    constexpr std::size_t kCount = sizeof writes / sizeof writes[0];
    for (const char *section : {"network", "", "fresh"}) {
        for (std::size_t f = 0; f < Files().size(); ++f) {
            WriteFile(one, Files()[f]);
            WriteFile(set, Files()[f]);
            int results[kCount];
            int first = 0;
            for (std::size_t i = 0; i < kCount; ++i) {
                results[i] = cfg::WriteCFGDataWithTemp(one.c_str(), (one + ".tmp").c_str(), section,
                                                       writes[i].key, writes[i].value);
                first = first != 0 ? first : results[i];
            }
            CfgWrite copy[kCount];
            for (std::size_t i = 0; i < kCount; ++i) {
                copy[i] = writes[i];
                copy[i].result = -99;
            }
            EXPECT_EQ(cfg::WriteCFGDataSetWithTemp(set.c_str(), (set + ".tmp").c_str(), section,
                                                   copy, static_cast<int>(kCount)),
                      first)
                << "file " << f;
            EXPECT_EQ(ReadFile(set), ReadFile(one)) << "file " << f << " [" << section;
            for (std::size_t i = 0; i < kCount; ++i) {
                EXPECT_EQ(copy[i].result, results[i]) << "file " << f << " write " << i;
            }
        }
    }
    // A missing file: every write fails as it would alone.
    CfgWrite missing[] = {{"a", "1", 0}, {"b\n", "2", 0}};
    EXPECT_EQ(cfg::WriteCFGDataSetWithTemp(dir.file("absent").c_str(), (set + ".tmp").c_str(),
                                           "network", missing, 2),
              kCfgOpenFail);
    EXPECT_EQ(missing[0].result, kCfgOpenFail);
    EXPECT_EQ(missing[1].result, kCfgBadArgument);
}

}  // namespace
