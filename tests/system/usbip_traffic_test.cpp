// A host's traffic with an imported emulated controller, through the server
// and the host side that turns its requests into URBs: Linux's enumeration,
// reports, LED messages, unlinks, malformed packets, hosts leaving, two hosts
// at once, and the stick's removal.
#include "tests/support/usbip_export.h"

namespace quillex_test {
namespace {

// What a Linux 6.1 host sends a wired Xbox 360 pad, and what this one answers.
TEST_F(UsbipExportTest, LinuxEnumerationIsAnsweredByteForByte) {
    PlugExported(0x0402);
    UsbipClient host;
    Import(&host, "1-1");

    struct Step {
        SetupPacket setup;
        int32_t status;
        std::vector<uint8_t> data;
    };
    const std::vector<uint8_t> none;
    const Step steps[] = {
        {{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00}, 0, kDeviceDescriptor0402},
        {{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}, 0, kDeviceDescriptor0402},
        // A full-speed device has no device qualifier: stalled, three times.
        {{0x80, 0x06, 0x00, 0x06, 0x00, 0x00, 0x0A, 0x00}, kStall, none},
        {{0x80, 0x06, 0x00, 0x06, 0x00, 0x00, 0x0A, 0x00}, kStall, none},
        {{0x80, 0x06, 0x00, 0x06, 0x00, 0x00, 0x0A, 0x00}, kStall, none},
        {{0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x09, 0x00},
         0,
         std::vector<uint8_t>(kConfiguration.begin(), kConfiguration.begin() + 9)},
        {{0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x30, 0x00}, 0, kConfiguration},
        // Strings are answered by position: the languages get the product
        // string's header, string 2 the product string, 1 and 3 nothing.
        {{0x80, 0x06, 0x00, 0x03, 0x00, 0x00, 0xFF, 0x00}, 0, {0x1E, 0x03}},
        {{0x80, 0x06, 0x02, 0x03, 0x09, 0x04, 0xFF, 0x00}, 0, kProductString},
        {{0x80, 0x06, 0x01, 0x03, 0x09, 0x04, 0xFF, 0x00}, 0, none},
        {{0x80, 0x06, 0x03, 0x03, 0x09, 0x04, 0xFF, 0x00}, 0, none},
        {kSetConfiguration1, 0, none},
    };
    uint32_t seqnum = 0;
    for (const Step& step : steps) {
        host.Control(++seqnum, step.setup);
        ExpectData(&host, seqnum, step.status, step.data);
    }
    // The Xbox driver then polls endpoint 1 and lights its LED on endpoint 2.
    host.Submit(++seqnum, 1, true, 32);
    ExpectData(&host, seqnum, 0, kFixedReport0);
    host.Submit(++seqnum, 1, true, 32);
    ExpectData(&host, seqnum, 0, kFixedReport1);
    host.Submit(++seqnum, 2, false, 3, {0x01, 0x03, 0x02});
    Reply led = Expect(&host, kRetSubmit, seqnum);
    EXPECT_EQ(led.status, 0);
    EXPECT_EQ(led.actualLength, 3);
    EXPECT_TRUE(led.data.empty());
}

TEST_F(UsbipExportTest, ReportsReachTheHostAsInterruptData) {
    Exported stick = PlugExported();
    UsbipClient host;
    Import(&host, "1-1");
    uint32_t seqnum = 0;
    Configure(&host, &seqnum);

    host.Submit(101, 1, true, 32);
    host.Submit(102, 1, true, 32);
    EXPECT_TRUE(host.Quiet(std::chrono::milliseconds(100))); // both wait for a report
    sim::stick::StickState a = Pressing(sim::stick::A);
    a.rightTrigger = 255;
    a.leftX = 132;
    a.leftY = 124;
    sim::stick::StickState b;
    b.leftTrigger = 17;
    EXPECT_EQ(Deliver(stick.id, a), STATUS_SUCCESS);
    ExpectData(&host, 101, 0, Bytes(Expected(stick.id, a))); // 20 bytes of a 32-byte transfer
    EXPECT_EQ(Deliver(stick.id, b), STATUS_SUCCESS);
    ExpectData(&host, 102, 0, Bytes(Expected(stick.id, b)));
}

TEST_F(UsbipExportTest, LedMessagesSetTheLedStateAndRumbleIsTaken) {
    Exported stick = PlugExported();
    UsbipClient host;
    Import(&host, "1-1");
    uint32_t seqnum = 0;
    Configure(&host, &seqnum);

    host.Submit(201, 2, false, 3, {0x01, 0x03, 0x09}); // player 4: LED state 5
    EXPECT_EQ(Expect(&host, kRetSubmit, 201).actualLength, 3);
    EXPECT_TRUE(WaitFor([&] { return LedStateOf(stick.context) == 5; }));
    host.Submit(202, 2, false, 3, {0x01, 0x03, 0x02}); // player 1 flashing: LED state 2
    EXPECT_EQ(Expect(&host, kRetSubmit, 202).status, 0);
    EXPECT_TRUE(WaitFor([&] { return LedStateOf(stick.context) == 2; }));
    // Linux's rumble message is taken and changes nothing.
    host.Submit(203, 2, false, 8, {0x00, 0x08, 0x00, 0x40, 0x80, 0x00, 0x00, 0x00});
    Reply rumble = Expect(&host, kRetSubmit, 203);
    EXPECT_EQ(rumble.status, 0);
    EXPECT_EQ(rumble.actualLength, 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(LedStateOf(stick.context), 2);
}

TEST_F(UsbipExportTest, UnlinkCancelsAWaitingTransferWhichIsNeverAnswered) {
    Exported stick = PlugExported();
    UsbipClient host;
    Import(&host, "1-1");
    uint32_t seqnum = 0;
    Configure(&host, &seqnum);

    host.Submit(301, 1, true, 32);
    EXPECT_TRUE(WaitFor([&] { return stick.host->Outstanding() == 1; }));
    host.Unlink(302, 301);
    EXPECT_EQ(Expect(&host, kRetUnlink, 302).status, kUnlinked);
    EXPECT_TRUE(host.Quiet(std::chrono::milliseconds(100))); // no answer for 301
    EXPECT_EQ(stick.host->Outstanding(), 0u);

    // The next report goes to the next transfer, not to the unlinked one.
    host.Submit(303, 1, true, 32);
    sim::stick::StickState a = NumberedState(1);
    EXPECT_TRUE(WaitFor([&] { return stick.host->WaitingAtDevice() == 1; }));
    EXPECT_EQ(Deliver(stick.id, a), STATUS_SUCCESS);
    ExpectData(&host, 303, 0, Bytes(Expected(stick.id, a)));
    // Unlinking what was answered already says so, and nothing else comes.
    host.Unlink(304, 303);
    EXPECT_EQ(Expect(&host, kRetUnlink, 304).status, 0);
    EXPECT_TRUE(host.Quiet(std::chrono::milliseconds(50)));
}

// The unlink has marked the transfer and is about to cancel it when a report
// completes it: the report is answered, then the unlink with 0.
TEST_F(UsbipExportTest, AReportWinningTheRaceWithAnUnlinkIsAnsweredOnceThenTheUnlink) {
    Exported stick = PlugExported();
    UsbipClient host;
    Import(&host, "1-1");
    uint32_t seqnum = 0;
    Configure(&host, &seqnum);

    sim::stick::StickState a = NumberedState(9);
    std::atomic<int> paused{0};
    sim::usbip::HostDevice::SetUnlinkPause([&] {
        ++paused;
        EXPECT_EQ(Deliver(stick.id, a), STATUS_SUCCESS);
    });
    host.Submit(401, 1, true, 32);
    EXPECT_TRUE(WaitFor([&] { return stick.host->WaitingAtDevice() == 1; }));
    host.Unlink(402, 401);
    ExpectData(&host, 401, 0, Bytes(Expected(stick.id, a)));
    EXPECT_EQ(Expect(&host, kRetUnlink, 402).status, 0);
    EXPECT_TRUE(host.Quiet(std::chrono::milliseconds(50)));
    EXPECT_EQ(paused, 1); // the window was taken
    EXPECT_EQ(stick.host->Outstanding(), 0u);
}

// Unlinks and reports thrown at the same waiting transfers: whichever wins,
// each submit is answered at most once, each unlink exactly once, and a
// submit answered before its unlink's 0.
TEST_F(UsbipExportTest, UnlinksRacingReportsAnswerEachRequestExactlyOnce) {
    Exported stick = PlugExported();
    UsbipClient host;
    Import(&host, "1-1");
    uint32_t seqnum = 0;
    Configure(&host, &seqnum);

    int cancelled = 0, completed = 0;
    for (uint32_t round = 0; round < 40; ++round) {
        uint32_t submit = 1000 + 2 * round, unlink = submit + 1;
        host.Submit(submit, 1, true, 32);
        ASSERT_TRUE(WaitFor([&] { return stick.host->Outstanding() == 1; }));
        sim::stick::StickState state = NumberedState(static_cast<uint8_t>(round + 1));
        XboxReport report = Expected(stick.id, state);
        std::thread reader([&] { Deliver(stick.id, state); });
        host.Unlink(unlink, submit);
        reader.join();
        int submitAnswers = 0, unlinkAnswers = 0;
        while (unlinkAnswers == 0) {
            Reply reply;
            ASSERT_TRUE(host.Receive(&reply)) << "round " << round;
            if (reply.command == kRetSubmit) {
                ASSERT_EQ(reply.seqnum, submit);
                EXPECT_EQ(reply.data, Bytes(report));
                ++submitAnswers;
            } else {
                ASSERT_EQ(reply.seqnum, unlink);
                ++unlinkAnswers;
                if (reply.status == kUnlinked) {
                    EXPECT_EQ(submitAnswers, 0);
                    ++cancelled;
                } else {
                    EXPECT_EQ(reply.status, 0);
                    EXPECT_EQ(submitAnswers, 1);
                    ++completed;
                }
            }
        }
        ASSERT_TRUE(host.Quiet(std::chrono::milliseconds(5))) << "round " << round;
        // A report the cancel beat is the controller's state: the next
        // transfer is answered with it at once. Take it, so every round starts
        // alike.
        if (unlinkAnswers == 1 && submitAnswers == 0) {
            host.Submit(5000 + round, 1, true, 32);
            ExpectData(&host, 5000 + round, 0, Bytes(report));
        }
    }
    EXPECT_EQ(cancelled + completed, 40);
    EXPECT_EQ(stick.host->Outstanding(), 0u);
}

TEST_F(UsbipExportTest, MalformedPacketsCloseOnlyTheirConnection) {
    Exported stick = PlugExported(0x0402);
    PlugExported(0x0403);
    // A well-behaved host on the other stick throughout.
    UsbipClient good;
    Import(&good, "1-2");
    uint32_t goodSeqnum = 0;
    Configure(&good, &goodSeqnum);

    const uint32_t devid = (1u << 16) | 1u;
    struct Case {
        const char* what;
        bool import;
        std::vector<uint8_t> bytes;
        bool endSending; // the host stops sending after the bytes
        const char* trace;
    };
    std::vector<uint8_t> importAgain = {0x01, 0x11, 0x80, 0x03, 0, 0, 0, 0};
    importAgain.resize(8 + 32, 0);
    importAgain[8] = '1';
    importAgain[9] = '-';
    importAgain[10] = '1';
    std::vector<uint8_t> shortHeader = UsbipClient::SubmitHeader(1, devid, 1, 1, 32);
    shortHeader.resize(20);
    std::vector<uint8_t> shortOut = UsbipClient::SubmitHeader(1, devid, 0, 2, 100);
    shortOut.insert(shortOut.end(), 10, 0xAA);
    std::vector<uint8_t> unknown = UsbipClient::SubmitHeader(1, devid, 0, 0, 0);
    unknown[3] = 0x07;
    std::vector<uint8_t> unlinkWrongDevice;
    UsbipClient::Put32(&unlinkWrongDevice, 2);
    UsbipClient::Put32(&unlinkWrongDevice, 9);
    UsbipClient::Put32(&unlinkWrongDevice, devid + 1);
    unlinkWrongDevice.resize(48, 0);
    std::vector<uint8_t> badVersion = {0x01, 0x06, 0x80, 0x05, 0, 0, 0, 0};
    std::vector<uint8_t> unknownOperation = {0x01, 0x11, 0x80, 0x99, 0, 0, 0, 0};
    std::vector<uint8_t> shortImport = {0x01, 0x11, 0x80, 0x03, 0, 0, 0, 0, '1', '-', '1'};
    std::vector<uint8_t> unterminatedBusId = {0x01, 0x11, 0x80, 0x03, 0, 0, 0, 0};
    unterminatedBusId.resize(8 + 32, 'x');

    const Case cases[] = {
        {"short URB header", true, shortHeader, true, "short URB header"},
        {"OUT data shorter than its length", true, shortOut, true, "announced 100 bytes"},
        {"length beyond any transfer", true, UsbipClient::SubmitHeader(1, devid, 1, 1, 0x7FFFFFFF),
         false, "transfer_buffer_length 2147483647"},
        {"negative length", true, UsbipClient::SubmitHeader(1, devid, 1, 1, -1), false,
         "transfer_buffer_length -1"},
        {"unknown command", true, unknown, false, "unknown command 0x00000007"},
        {"second import", true, importAgain, false, "unknown command 0x01118003"},
        {"another device's id", true, UsbipClient::SubmitHeader(1, devid + 1, 1, 1, 32), false,
         "not the imported one"},
        {"unlink for another device", true, unlinkWrongDevice, false, "unlink for device"},
        {"isochronous packets", true, UsbipClient::SubmitHeader(1, devid, 1, 1, 32, {}, 5), false,
         "number_of_packets 5"},
        {"direction 2", true, UsbipClient::SubmitHeader(1, devid, 2, 1, 32), false, "direction 2"},
        {"endpoint 16", true, UsbipClient::SubmitHeader(1, devid, 1, 16, 32), false, "endpoint 16"},
        {"protocol version 1.0.6", false, badVersion, false, "protocol version 0x00000106"},
        {"unknown operation", false, unknownOperation, false, "unknown operation 0x00008099"},
        {"short import request", false, shortImport, true, "short import request"},
        {"bus id without NUL", false, unterminatedBusId, false, "without its terminating NUL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UsbipClient bad;
        Connect(&bad);
        if (c.import) {
            ASSERT_EQ(bad.Import("1-1"), 0);
        }
        ASSERT_TRUE(bad.Send(c.bytes));
        if (c.endSending) {
            bad.EndSending();
        }
        EXPECT_TRUE(bad.WaitClosed());
        EXPECT_TRUE(Logged(c.trace));
    }
    // Nothing was taken from the device, which a host can import again; the
    // other host was never disturbed.
    EXPECT_EQ(stick.host->Outstanding(), 0u);
    UsbipClient again;
    Import(&again, "1-1");
    uint32_t seqnum = 0;
    again.Control(++seqnum, kGetDeviceDescriptor);
    ExpectData(&again, seqnum, 0, kDeviceDescriptor0402);
    good.Control(++goodSeqnum, kGetDeviceDescriptor);
    Reply reply = Expect(&good, kRetSubmit, goodSeqnum);
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.actualLength, 18);
}

TEST_F(UsbipExportTest, AHostLeavingMidTransferReleasesTheDeviceAndItsTransfers) {
    Exported stick = PlugExported();
    {
        UsbipClient leaving;
        Import(&leaving, "1-1");
        uint32_t seqnum = 0;
        Configure(&leaving, &seqnum);
        leaving.Submit(601, 1, true, 32);
        leaving.Submit(602, 1, true, 32);
        EXPECT_TRUE(WaitFor([&] { return stick.host->Outstanding() == 2; }));
    } // gone without a word
    EXPECT_TRUE(WaitFor([&] { return server_.Connections() == 0; }));
    EXPECT_EQ(stick.host->Outstanding(), 0u);
    // Its transfers were cancelled: a report finds none waiting.
    EXPECT_EQ(Deliver(stick.id, NumberedState(1)), STATUS_DEVICE_NOT_READY);

    UsbipClient next;
    Import(&next, "1-1");
    uint32_t seqnum = 0;
    Configure(&next, &seqnum);
    // The report nobody took is the controller's state: the next host's first
    // poll gets it; the one after waits for the next report.
    next.Submit(701, 1, true, 32);
    ExpectData(&next, 701, 0, Bytes(Expected(stick.id, NumberedState(1))));
    next.Submit(702, 1, true, 32);
    EXPECT_TRUE(WaitFor([&] { return stick.host->WaitingAtDevice() == 1; }));
    EXPECT_EQ(Deliver(stick.id, NumberedState(2)), STATUS_SUCCESS);
    ExpectData(&next, 702, 0, Bytes(Expected(stick.id, NumberedState(2))));
}

TEST_F(UsbipExportTest, TwoHostsOnTwoSticksEachGetTheirOwnReports) {
    Exported a = PlugExported(0x0402);
    Exported b = PlugExported(0x0403);
    UsbipClient hostA, hostB;
    Import(&hostA, "1-1");
    Import(&hostB, "1-2");
    uint32_t seqA = 0, seqB = 0;
    Configure(&hostA, &seqA);
    Configure(&hostB, &seqB);

    for (uint32_t round = 0; round < 10; ++round) {
        hostA.Submit(800 + round, 1, true, 32);
        hostB.Submit(900 + round, 1, true, 32);
        // Each report needs its transfer waiting at the driver, not only
        // sent off by the host.
        ASSERT_TRUE(WaitFor([&] { return a.host->WaitingAtDevice() == 1; }));
        ASSERT_TRUE(WaitFor([&] { return b.host->WaitingAtDevice() == 1; }));
        sim::stick::StickState forA = NumberedState(static_cast<uint8_t>(1 + round));
        sim::stick::StickState forB = NumberedState(static_cast<uint8_t>(100 + round));
        std::thread ta([&] { EXPECT_EQ(Deliver(a.id, forA), STATUS_SUCCESS); });
        std::thread tb([&] { EXPECT_EQ(Deliver(b.id, forB), STATUS_SUCCESS); });
        ta.join();
        tb.join();
        ExpectData(&hostA, 800 + round, 0, Bytes(Expected(a.id, forA)));
        ExpectData(&hostB, 900 + round, 0, Bytes(Expected(b.id, forB)));
    }
}

TEST_F(UsbipExportTest, UnpluggingTheStickAnswersItsTransfersAndClosesTheConnection) {
    Exported stick = PlugExported(0x0402);
    PlugExported(0x0403);
    UsbipClient host;
    Import(&host, "1-1");
    uint32_t seqnum = 0;
    Configure(&host, &seqnum);
    host.Submit(1001, 1, true, 32);
    host.Submit(1002, 1, true, 32);
    EXPECT_TRUE(WaitFor([&] { return stick.host->Outstanding() == 2; }));

    ASSERT_EQ(stack_.Unplug(stick.id), STATUS_SUCCESS);
    for (uint32_t expected : {1001u, 1002u}) {
        Reply reply = Expect(&host, kRetSubmit, expected);
        EXPECT_EQ(reply.status, kShutdown);
        EXPECT_EQ(reply.actualLength, 0);
    }
    EXPECT_TRUE(host.WaitClosed());
    stack_.WaitRemoved(stick.id);

    // Only the other stick is left to import.
    UsbipClient list;
    Connect(&list);
    std::vector<UsbipClient::Device> devices;
    ASSERT_TRUE(list.ListDevices(&devices));
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].busId, "1-2");
}

} // namespace
} // namespace quillex_test
