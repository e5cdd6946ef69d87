// quillex-sim's modes and options: every pair is either honoured or refused
// before anything runs, with a message naming both options. The table below
// says which, independently of the command line's own table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/quillex-sim/command_line.h"

namespace {

struct Mode {
    const char* name;
    std::vector<std::string> args; // what selects it
};

struct OptionCase {
    const char* name;
    std::vector<std::string> args;
};

// Parses argv; the result code, the options read and what went to stderr.
int Parse(const std::vector<std::string>& args, Options* options, std::string* err) {
    std::vector<std::string> all = {"quillex-sim"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int rc = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options);
    testing::internal::GetCapturedStdout();
    *err = testing::internal::GetCapturedStderr();
    return rc;
}

const std::vector<Mode> kModes = {
    {"play", {}},
    {"--live", {"--live"}},
    {"--expect", {"--expect", "run.jsonl"}},
    {"--serve", {"--serve", "quillex.sock"}},
    {"--usbip", {"--usbip"}},
};

const std::vector<OptionCase> kOptions = {
    {"--layout", {"--layout", "a"}},
    {"--sticks", {"--sticks", "2"}},
    {"--registry", {"--registry", "machine.reg"}},
    {"--print-mapping", {"--print-mapping"}},
    {"--save-mapping", {"--save-mapping"}},
    {"--script", {"--script", "play.session"}},
    {"--record", {"--record", "out.jsonl"}},
    {"--json", {"--json"}},
    {"--pcap", {"--pcap", "out.pcap"}},
    {"--speed", {"--speed", "max"}},
    {"--live", {"--live"}},
    {"--serve", {"--serve", "other.sock"}},
    {"--usbip", {"--usbip"}},
};

// 'y' honoured, 'n' refused, '-' the option is the mode itself. Columns in
// kOptions' order: layout sticks registry print-mapping save-mapping script
// record json pcap speed live serve usbip.
const char* const kHonoured[] = {
    "yyyyyyyyyyyyy", // play: --live, --serve and --usbip make it that mode
    "yyyyyyynyn-nn", // --live
    "nnyyynyyyyynn", // --expect
    "yyyyynnnynn-n", // --serve
    "yyyyynnnnnnn-", // --usbip
};

TEST(QuillexSimOptions, EveryModeHonoursOrRefusesEveryOptionBeforeAnythingRuns) {
    ASSERT_EQ(std::size(kHonoured), kModes.size());
    for (size_t m = 0; m < kModes.size(); ++m) {
        ASSERT_EQ(std::string(kHonoured[m]).size(), kOptions.size()) << kModes[m].name;
        for (size_t o = 0; o < kOptions.size(); ++o) {
            char expected = kHonoured[m][o];
            if (expected == '-') {
                continue;
            }
            std::vector<std::string> args = kModes[m].args;
            args.insert(args.end(), kOptions[o].args.begin(), kOptions[o].args.end());
            Options options;
            std::string err;
            int rc = Parse(args, &options, &err);
            SCOPED_TRACE(std::string(kModes[m].name) + " with " + kOptions[o].name);
            if (expected == 'y') {
                EXPECT_EQ(rc, kRunGoesOn) << err;
                EXPECT_EQ(err, "");
            } else {
                EXPECT_EQ(rc, kExitUsage);
                // The message names both and says why, after a colon.
                EXPECT_NE(err.find(kOptions[o].name), std::string::npos) << err;
                EXPECT_NE(err.find(kModes[m].name), std::string::npos) << err;
                EXPECT_NE(err.find("cannot be used with"), std::string::npos) << err;
            }
        }
    }
}

TEST(QuillexSimOptions, AcceptedValuesReachTheRun) {
    Options options;
    std::string err;
    ASSERT_EQ(Parse({"--usbip", "--registry", "m.reg", "--print-mapping", "--sticks", "3"},
                    &options, &err),
              kRunGoesOn)
        << err;
    EXPECT_TRUE(options.usbip.enabled);
    EXPECT_EQ(options.registryFile, "m.reg");
    EXPECT_TRUE(options.printMapping);
    EXPECT_EQ(options.sticks, 3);

    Options fast;
    ASSERT_EQ(Parse({"--speed", "max"}, &fast, &err), kRunGoesOn);
    EXPECT_EQ(fast.speed, 0);
    Options twice;
    ASSERT_EQ(Parse({"--speed", "2.5"}, &twice, &err), kRunGoesOn);
    EXPECT_EQ(twice.speed, 2.5);
}

TEST(QuillexSimOptions, AStopBySignalEndsServeAndExportCleanlyAndASessionWith128PlusN) {
    Options play, serve, usbip;
    serve.serveSocket = "s.sock";
    usbip.usbip.enabled = true;
    EXPECT_EQ(ExitCodeAfterStop(0, 0, play), 0);
    EXPECT_EQ(ExitCodeAfterStop(0, 2, play), 130);
    EXPECT_EQ(ExitCodeAfterStop(0, 15, play), 143);
    EXPECT_EQ(ExitCodeAfterStop(1, 2, play), 1); // a failure keeps its code
    EXPECT_EQ(ExitCodeAfterStop(0, 15, serve), 0);
    EXPECT_EQ(ExitCodeAfterStop(0, 2, usbip), 0);
}

} // namespace
