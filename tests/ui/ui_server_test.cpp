// The configurator's server over real HTTP on loopback, with a stick that
// answers from memory: what the guard refuses, what reaches the driver, and
// that a refused or malformed change leaves the mapping as it was.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "tools/quillexctl/public_header.h"
#include "tools/quillexctl/ui/live_feed.h"
#include "tools/quillexctl/ui/stick_pool.h"
#include "tools/quillexctl/ui/ui_server.h"

#undef DELETE // the resolver headers' own, as in the server
#include <httplib.h>

namespace {

using json = nlohmann::json;

// One stick's driver side: the state block and the mapping record, and what
// the last SET_MAPPING carried.
struct FakeStick {
    std::mutex lock;
    APP_INSTANCE state{};
    REMAP_RECORD mapping{};
    int setMappingCalls = 0;
    uint32_t settings[4] = {0, 0, 15, 0}; // items 22 to 25, as a driver with the arcade settings
    bool present = true;
    uint32_t setMappingStatus = 0; // 0: success
};

class FakeLink : public DeviceLink {
  public:
    explicit FakeLink(std::shared_ptr<FakeStick> stick) : stick_(std::move(stick)) {}
    LinkResult Control(uint32_t code, const std::vector<uint8_t>& input,
                       size_t outputLength) override {
        std::lock_guard<std::mutex> guard(stick_->lock);
        LinkResult r;
        if (!stick_->present) {
            r.status = 0xC00002B6; // STATUS_DEVICE_REMOVED
            return r;
        }
        auto bytesOf = [](const auto& record) {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
            return std::vector<uint8_t>(p, p + sizeof(record));
        };
        switch (code) {
        case IOCTL_QUILLEX_GET_STATE:
            r.out = bytesOf(stick_->state);
            break;
        case IOCTL_QUILLEX_GET_MAPPING:
            r.out = bytesOf(stick_->mapping);
            break;
        case IOCTL_QUILLEX_SET_MAPPING:
            ++stick_->setMappingCalls;
            if (input.size() < sizeof(REMAP_RECORD)) {
                r.status = 0xC0000023;
                return r;
            }
            if (stick_->setMappingStatus != 0) {
                r.status = stick_->setMappingStatus;
                return r;
            }
            memcpy(&stick_->mapping, input.data(), sizeof(REMAP_RECORD));
            break;
        case IOCTL_QUILLEX_GET_VALUE:
        case IOCTL_QUILLEX_SET_VALUE: {
            uint32_t id = input.size() >= 4 ? input[0] : 0;
            if (id == QUILLEX_ITEM_INTERFACE_VERSION && code == IOCTL_QUILLEX_GET_VALUE) {
                r.out = {QUILLEX_INTERFACE_VERSION, 0, 0, 0};
                break;
            }
            if (id < QUILLEX_ITEM_DPAD_MODE || id > QUILLEX_ITEM_HOTKEYS) {
                r.status = 0xC0000010;
                return r;
            }
            uint32_t& setting = stick_->settings[id - QUILLEX_ITEM_DPAD_MODE];
            if (code == IOCTL_QUILLEX_SET_VALUE) {
                setting = input[4] | input[5] << 8 | input[6] << 16 |
                          static_cast<uint32_t>(input[7]) << 24;
            } else {
                r.out = {static_cast<uint8_t>(setting), static_cast<uint8_t>(setting >> 8),
                         static_cast<uint8_t>(setting >> 16), static_cast<uint8_t>(setting >> 24)};
            }
            break;
        }
        default:
            r.status = 0xC0000010;
            return r;
        }
        r.out.resize(std::min(r.out.size(), outputLength));
        r.ok = true;
        return r;
    }

  private:
    std::shared_ptr<FakeStick> stick_;
};

// A .reg file as regedit writes it, up to the Remap key's values.
const std::string kRemapFileHead =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quillex\\Parameters\\Remap]\r\n";

const uint8_t kDefaults[29] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                               0x0A, 0x07, 0x06, 0x00, 0x00, 0x00, 0x00, 0x5A, 0xA5, 0x5A,
                               0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5, 0x5A, 0xA5};

class UiServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        memcpy(&stick_->mapping, kDefaults, sizeof(kDefaults));
        stick_->state.RightStickX = stick_->state.RightStickY = 128;
        stick_->state.LeftStickX = stick_->state.LeftStickY = 128;
        stick_->state.Dpad = 8;
        pool_ = std::make_unique<StickPool>([this](unsigned index, std::string* error) {
            std::lock_guard<std::mutex> guard(stick_->lock);
            if (index > 0 || !stick_->present) {
                *error = "no stick " + std::to_string(index);
                return std::unique_ptr<DeviceLink>();
            }
            return std::unique_ptr<DeviceLink>(new FakeLink(stick_));
        });
        pool_->Rescan(nullptr);
        feed_ = std::make_unique<LiveFeed>(*pool_, "Check the test's stick.");
        server_ = std::make_unique<UiServer>(*pool_, *feed_, kToken, false);
        std::string error;
        port_ = server_->Bind(0, &error);
        ASSERT_GT(port_, 0) << error;
        feed_->Start();
        thread_ = std::thread([this] { server_->Run(); });
        // Up once it answers.
        for (int i = 0; i < 200; ++i) {
            if (Client().Get("/app.css")) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    void TearDown() override {
        feed_->Stop();
        server_->Stop();
        thread_.join();
    }

    httplib::Client Client() { return httplib::Client("127.0.0.1", port_); }
    std::string Host() { return "127.0.0.1:" + std::to_string(port_); }
    httplib::Headers Authorised() {
        return {{"Cookie", std::string("quillex_ui=") + kToken}, {"Origin", "http://" + Host()}};
    }
    httplib::Result PostMapping(const std::string& body) {
        return Client().Post("/api/mapping?stick=0", Authorised(), body, "application/json");
    }
    // The fake stick is read and changed under its lock: the server's threads
    // use it, and a reply on a socket is no ordering the thread checker sees.
    REMAP_RECORD Mapping() {
        std::lock_guard<std::mutex> guard(stick_->lock);
        return stick_->mapping;
    }
    bool MappingIsDefault() {
        REMAP_RECORD m = Mapping();
        return memcmp(&m, kDefaults, sizeof(kDefaults)) == 0;
    }
    int SetMappingCalls() {
        std::lock_guard<std::mutex> guard(stick_->lock);
        return stick_->setMappingCalls;
    }
    uint32_t Setting(int index) {
        std::lock_guard<std::mutex> guard(stick_->lock);
        return stick_->settings[index];
    }
    template <class Edit> void Change(Edit edit) {
        std::lock_guard<std::mutex> guard(stick_->lock);
        edit(*stick_);
    }

    static constexpr const char* kToken =
        "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
    std::shared_ptr<FakeStick> stick_ = std::make_shared<FakeStick>();
    std::unique_ptr<StickPool> pool_;
    std::unique_ptr<LiveFeed> feed_;
    std::unique_ptr<UiServer> server_;
    std::thread thread_;
    int port_ = 0;
};

TEST_F(UiServerTest, ThePrintedAddressSetsAStrictCookieAndEverythingElseNeedsIt) {
    auto first = Client().Get(std::string("/?token=") + kToken);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 303);
    EXPECT_EQ(first->get_header_value("Location"), "/");
    std::string cookie = first->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find(std::string("quillex_ui=") + kToken), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);

    auto page = Client().Get("/", {{"Cookie", std::string("quillex_ui=") + kToken}});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<title>Quillex configurator</title>"), std::string::npos);
    std::string csp = page->get_header_value("Content-Security-Policy");
    EXPECT_NE(csp.find("default-src 'none'"), std::string::npos);
    EXPECT_NE(csp.find("script-src 'self'"), std::string::npos);

    // No token, a wrong one, or the right one in any other place than the
    // first visit's address.
    for (const char* path : {"/", "/app.js", "/api/mapping?stick=0", "/api/events?stick=0"}) {
        auto none = Client().Get(path);
        ASSERT_TRUE(none) << path;
        EXPECT_EQ(none->status, 403) << path;
        auto wrong = Client().Get(path, {{"Cookie", "quillex_ui=00112233"}});
        ASSERT_TRUE(wrong) << path;
        EXPECT_EQ(wrong->status, 403) << path;
    }
    auto tokenOnAnApi = Client().Get(std::string("/api/mapping?stick=0&token=") + kToken);
    ASSERT_TRUE(tokenOnAnApi);
    EXPECT_EQ(tokenOnAnApi->status, 403);
    std::string almost = kToken;
    almost.back() = '0';
    auto nearMiss = Client().Get("/?token=" + almost);
    ASSERT_TRUE(nearMiss);
    EXPECT_EQ(nearMiss->status, 403);
    EXPECT_TRUE(nearMiss->get_header_value("Set-Cookie").empty());
}

TEST_F(UiServerTest, AForeignHostOrOriginIsRefusedAndChangesNothing) {
    // A site that rebinds its own name to 127.0.0.1 sends its own name.
    httplib::Headers rebound = Authorised();
    rebound.erase("Host");
    rebound.emplace("Host", "evil.example:" + std::to_string(port_));
    auto foreignHost = Client().Get("/api/mapping?stick=0", rebound);
    ASSERT_TRUE(foreignHost);
    EXPECT_EQ(foreignHost->status, 403);

    httplib::Headers wrongPort = {{"Cookie", std::string("quillex_ui=") + kToken},
                                  {"Host", "127.0.0.1:1"}};
    auto otherPort = Client().Get("/api/mapping?stick=0", wrongPort);
    ASSERT_TRUE(otherPort);
    EXPECT_EQ(otherPort->status, 403);

    const std::string change = R"({"values": {"BTN_A": 3}})";
    httplib::Headers foreign = {{"Cookie", std::string("quillex_ui=") + kToken},
                                {"Origin", "http://evil.example"}};
    auto foreignOrigin = Client().Post("/api/mapping?stick=0", foreign, change, "application/json");
    ASSERT_TRUE(foreignOrigin);
    EXPECT_EQ(foreignOrigin->status, 403);
    httplib::Headers noOrigin = {{"Cookie", std::string("quillex_ui=") + kToken}};
    auto withoutOrigin =
        Client().Post("/api/mapping?stick=0", noOrigin, change, "application/json");
    ASSERT_TRUE(withoutOrigin);
    EXPECT_EQ(withoutOrigin->status, 403);
    httplib::Headers crossSite = Authorised();
    crossSite.emplace("Sec-Fetch-Site", "cross-site");
    auto fromAnotherSite =
        Client().Post("/api/mapping?stick=0", crossSite, change, "application/json");
    ASSERT_TRUE(fromAnotherSite);
    EXPECT_EQ(fromAnotherSite->status, 403);
    EXPECT_EQ(SetMappingCalls(), 0);
    EXPECT_TRUE(MappingIsDefault());
}

TEST_F(UiServerTest, AChangeFromThePageReachesTheDriverWithTheRestOfTheMappingKept) {
    auto r = PostMapping(R"({"values": {"BTN_A": 3, "SWAP_STICKS": 1, "L_TRIG_CP_2": 200}})");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    REMAP_RECORD m = Mapping();
    EXPECT_EQ(m.ButtonMap[0], 3);
    EXPECT_EQ(m.SWAP_STICKS, 1);
    EXPECT_EQ(m.L_TRIG_CP_2, 200);
    EXPECT_EQ(m.RestoreDefaults, 0);
    EXPECT_EQ(m.ButtonMap[1], 1);
    EXPECT_EQ(m.L_TRIG_CP_1, 90);
    json reply = json::parse(r->body);
    EXPECT_EQ(reply["values"]["BTN_A"], 3);
    EXPECT_EQ(reply["values"]["L_TRIG_CP_2"], 200);

    auto restored = Client().Post("/api/defaults?stick=0", Authorised(), "{}", "application/json");
    ASSERT_TRUE(restored);
    ASSERT_EQ(restored->status, 200);
    EXPECT_EQ(SetMappingCalls(), 2);
}

TEST_F(UiServerTest, BadValuesAreRefusedBeforeTheDriverSeesThem) {
    for (const char* body :
         {R"({"values": {"BTN_A": 14}})", R"({"values": {"SWAP_STICKS": 2}})",
          R"({"values": {"R_TRIG_CP_1": 256}})", R"({"values": {"R_TRIG_CP_1": -1}})",
          R"({"values": {"R_TRIG_CP_1": "90"}})", R"({"values": {"NO_SUCH_VALUE": 1}})",
          R"({"values": {"RestoreDefaults": 1}})", R"({"values": {"BTN_B": 1, "BTN_A": 99}})",
          R"({"values": {}})", R"([1, 2])", "not json", ""}) {
        auto r = PostMapping(body);
        ASSERT_TRUE(r) << body;
        EXPECT_EQ(r->status, 400) << body;
        EXPECT_NE(json::parse(r->body, nullptr, false).value("error", std::string()), "") << body;
    }
    for (const char* path : {"/api/mapping?stick=16", "/api/mapping?stick=-1",
                             "/api/mapping?stick=1x", "/api/mapping"}) {
        auto r =
            Client().Post(path, Authorised(), R"({"values": {"BTN_A": 1}})", "application/json");
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 400) << path;
    }
    EXPECT_EQ(SetMappingCalls(), 0);
    EXPECT_TRUE(MappingIsDefault());

    std::string huge =
        R"({"values": {"BTN_A": 1}, "pad": ")" + std::string(kMaxUiBodyBytes, 'x') + "\"}";
    auto tooLarge = PostMapping(huge);
    ASSERT_TRUE(tooLarge);
    EXPECT_EQ(tooLarge->status, 413);
    EXPECT_EQ(SetMappingCalls(), 0);
}

TEST_F(UiServerTest, ArcadeSettingsAreCheckedShownAndSetBesideTheMapping) {
    for (const char* body :
         {R"({"values": {"DPAD_MODE": 3}})", R"({"values": {"TURBO_RATE": 1}})",
          R"({"values": {"TURBO_RATE": 31}})", R"({"values": {"TURBO_MASK": 8192}})",
          R"({"values": {"HOTKEYS": 2}})", R"({"values": {"BTN_A": 1, "DPAD_MODE": -1}})"}) {
        auto r = PostMapping(body);
        ASSERT_TRUE(r) << body;
        EXPECT_EQ(r->status, 400) << body;
    }
    EXPECT_EQ(SetMappingCalls(), 0);
    EXPECT_EQ(Setting(0), 0u);

    auto r = PostMapping(
        R"({"values": {"BTN_X": 13, "DPAD_MODE": 2, "TURBO_MASK": 8191, "TURBO_RATE": 30}})");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(Mapping().ButtonMap[2], 13);
    EXPECT_EQ(Setting(0), 2u);
    EXPECT_EQ(Setting(1), 8191u);
    EXPECT_EQ(Setting(2), 30u);
    json reply = json::parse(r->body);
    EXPECT_EQ(reply["values"]["DPAD_MODE"], 2);
    EXPECT_EQ(reply["values"]["TURBO_RATE"], 30);
    EXPECT_EQ(reply["values"]["HOTKEYS"], 0);
}

TEST_F(UiServerTest, TheDriversRefusalIsReportedInWords) {
    Change([](FakeStick& s) { s.setMappingStatus = 0xC000009A; }); // STATUS_INSUFFICIENT_RESOURCES
    auto r = PostMapping(R"({"values": {"BTN_A": 2}})");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 502);
    json reply = json::parse(r->body);
    EXPECT_EQ(reply["ok"], false);
    EXPECT_EQ(reply["status"], "STATUS_INSUFFICIENT_RESOURCES (0xC000009A)");
    EXPECT_NE(reply["error"].get<std::string>().find("refused"), std::string::npos);
}

TEST_F(UiServerTest, AnImportIsPreviewedWithUnknownNamesShownAndNothingApplied) {
    std::string reg = kRemapFileHead +
                      "\"BTN_A\"=dword:00000003\r\n\"BTN_B\"=dword:00000001\r\n"
                      "\"TURBO_SPEED\"=dword:00000009\r\n\"R_TRIG_CP_1\"=dword:00000010\r\n"
                      "\"DPAD_MODE\"=dword:00000002\r\n\"TURBO_RATE\"=dword:0000000f\r\n";
    auto r =
        Client().Post("/api/import-preview?stick=0", Authorised(), reg, "application/octet-stream");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    json preview = json::parse(r->body);
    // The arcade settings are the driver's too (TURBO_RATE is already 15).
    ASSERT_EQ(preview["changes"].size(), 3u) << preview.dump();
    EXPECT_EQ(preview["changes"][0]["name"], "BTN_A");
    EXPECT_EQ(preview["changes"][0]["from"], 0);
    EXPECT_EQ(preview["changes"][0]["to"], 3);
    EXPECT_EQ(preview["changes"][1]["name"], "R_TRIG_CP_1");
    EXPECT_EQ(preview["changes"][2], json({{"name", "DPAD_MODE"}, {"from", 0}, {"to", 2}}));
    EXPECT_EQ(preview["unknown"], json::array({"TURBO_SPEED"}));
    EXPECT_EQ(preview["values"]["BTN_B"], 1);
    EXPECT_EQ(preview["values"]["TURBO_RATE"], 15);
    EXPECT_EQ(SetMappingCalls(), 0);
    EXPECT_EQ(Setting(0), 0u);

    for (const char* outOfRange : {"\"BTN_X\"=dword:0000000e\r\n",
                                   "\"TURBO_RATE\"=dword:00000063\r\n", "\"HOTKEYS\"=\"on\"\r\n"}) {
        auto bad = Client().Post("/api/import-preview?stick=0", Authorised(), reg + outOfRange,
                                 "application/octet-stream");
        ASSERT_TRUE(bad);
        EXPECT_EQ(bad->status, 400) << outOfRange;
        std::string name(outOfRange + 1, strchr(outOfRange + 1, '"'));
        EXPECT_NE(bad->body.find(name), std::string::npos) << bad->body;
    }
    auto notReg = Client().Post("/api/import-preview?stick=0", Authorised(), "hello",
                                "application/octet-stream");
    ASSERT_TRUE(notReg);
    EXPECT_EQ(notReg->status, 400);
}

// A value name that is not UTF-8 (a file saved in a legacy code page) is
// still shown, replaced where it cannot be, and the server stays up.
TEST_F(UiServerTest, AnImportWithANameThatIsNotUtf8IsPreviewedAndTheServerStaysUp) {
    std::string reg =
        kRemapFileHead + "\"BTN_A\"=dword:00000003\r\n\"R\xe9glage\"=dword:00000001\r\n";
    auto r =
        Client().Post("/api/import-preview?stick=0", Authorised(), reg, "application/octet-stream");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    json preview = json::parse(r->body);
    ASSERT_EQ(preview["unknown"].size(), 1u);
    EXPECT_EQ(preview["unknown"][0], "R\xef\xbf\xbdglage");
    auto again = Client().Get("/api/mapping?stick=0", Authorised());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 200);
}

TEST_F(UiServerTest, TheExportIsARegistryFileOfTheSticksMapping) {
    Change([](FakeStick& s) { s.mapping.ButtonMap[0] = 3; });
    auto r = Client().Get("/api/export?stick=0", Authorised());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    EXPECT_NE(r->get_header_value("Content-Disposition").find(".reg"), std::string::npos);
    // UTF-16LE with its mark, as regedit writes: read back the ASCII.
    ASSERT_GE(r->body.size(), 2u);
    EXPECT_EQ(r->body.substr(0, 2), "\xFF\xFE");
    std::string text;
    for (size_t i = 2; i + 1 < r->body.size(); i += 2) {
        text += r->body[i];
    }
    EXPECT_NE(text.find("Windows Registry Editor Version 5.00"), std::string::npos);
    EXPECT_NE(text.find("\"BTN_A\"=dword:00000003"), std::string::npos);
    EXPECT_NE(text.find("\"L_STICK_Y_CP_2\"=dword:000000a5"), std::string::npos);
    // The arcade settings beside the mapping, as quillexctl mapping export writes them.
    EXPECT_NE(text.find("\"TURBO_RATE\"=dword:0000000f"), std::string::npos) << text;
    EXPECT_NE(text.find("\"DPAD_MODE\"=dword:00000000"), std::string::npos);
}

// The event stream: the first event shows the stick, and a removal is told
// as one rather than as a frozen stick.
TEST_F(UiServerTest, TheEventStreamShowsTheStickAndItsRemoval) {
    std::mutex lock;
    std::string received;
    auto seen = [&](const char* text) {
        std::lock_guard<std::mutex> guard(lock);
        return received.find(text) != std::string::npos;
    };
    std::atomic<bool> sawRemoval{false};
    std::thread reader([&] {
        httplib::Headers h = {{"Cookie", std::string("quillex_ui=") + kToken}};
        Client().Get("/api/events?stick=0", h, [&](const char* data, size_t length) {
            std::lock_guard<std::mutex> guard(lock);
            received.append(data, length);
            if (received.find("\"status\":\"removed\"") != std::string::npos ||
                received.find("\"status\":\"no_stick\"") != std::string::npos) {
                sawRemoval = true;
                return false;
            }
            return received.size() < 100000;
        });
    });
    for (int i = 0; i < 300 && !seen("\"status\":\"ok\""); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Change([](FakeStick& s) { s.present = false; });
    reader.join();
    EXPECT_NE(received.find("\"status\":\"ok\""), std::string::npos) << received.substr(0, 300);
    EXPECT_NE(received.find("\"BTN_A\":0"), std::string::npos);
    EXPECT_TRUE(sawRemoval) << received.substr(0, 600);
}

} // namespace

namespace {

// A link's message that is not UTF-8 (a socket path in a legacy code page)
// reaches the page replaced; before, the feed's thread threw and the whole
// program ended.
TEST(LiveFeedText, AMessageThatIsNotUtf8IsSentReplaced) {
    StickPool pool([](unsigned, std::string* error) {
        *error = "cannot connect to /tmp/caf\xe9/quillex.sock";
        return std::unique_ptr<DeviceLink>();
    });
    LiveFeed feed(pool, "Check the test's path.");
    feed.Watch(0);
    feed.Start();
    uint64_t seen = 0;
    std::string event;
    ASSERT_TRUE(feed.WaitNext(0, &seen, &event, std::chrono::milliseconds(5000)));
    feed.Unwatch(0);
    feed.Stop();
    EXPECT_NE(event.find("caf\xef\xbf\xbd/quillex.sock"), std::string::npos) << event;
}

} // namespace
