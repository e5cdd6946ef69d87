#include "tools/quillexctl/ui/ui_server.h"

#include <string.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "sim/registry/reg_file.h"
#include "sim/registry/registry.h"
#include "tools/quillexctl/mapping_file.h"
#include "tools/common/mapping_names.h"
#include "tools/quillexctl/ui/arcade_settings.h"
#include "tools/quillexctl/ui/ui_assets.h"

// cpp-httplib where the build has it; the server of http/ where it does not
// (quillexctl.exe). Both take the same calls.
#ifdef QUILLEX_UI_BUILTIN_HTTP
#include "tools/quillexctl/ui/http/http_server.h"
namespace http = quillex_http;
#else
// The resolver's headers that the HTTP library brings define DELETE too, as
// an operation code of their own; nothing here uses either.
#undef DELETE
#include <httplib.h>
namespace http = httplib;
#endif

namespace {

using json = nlohmann::json;

// The page's own resources only: no inline script, nothing from elsewhere,
// and no other site may frame it.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; form-action 'none'; frame-ancestors 'none'; base-uri 'none'";

void SecurityHeaders(http::Response& res) {
    res.set_header("Content-Security-Policy", kContentSecurityPolicy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
    res.set_header("Cross-Origin-Resource-Policy", "same-origin");
}

void Reply(http::Response& res, int status, const json& body) {
    res.status = status;
    // Names from a player's file may not be UTF-8: shown replaced, not refused.
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void Fail(http::Response& res, int status, const std::string& error,
          const std::string& statusText = std::string()) {
    json body = {{"ok", false}, {"error", error}};
    if (!statusText.empty()) {
        body["status"] = statusText;
    }
    Reply(res, status, body);
}

// The stick a request names: "stick" is 0 to 15.
bool StickOf(const http::Request& req, http::Response& res, unsigned* stick) {
    std::string text = req.get_param_value("stick");
    if (text.empty() || text.size() > 2 ||
        text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) >= kMaxUiSticks) {
        Fail(res, 400, "\"stick\" is a stick number, 0 to " + std::to_string(kMaxUiSticks - 1));
        return false;
    }
    *stick = static_cast<unsigned>(std::stoul(text));
    return true;
}

// Why a request to the driver failed, in words a player understands.
std::string DriverFailure(const char* what, const LinkResult& r) {
    if (r.status == 0) {
        return std::string(what) +
               ": the stick cannot be reached: " + (r.message.empty() ? "no answer" : r.message);
    }
    std::string why = MeansStickGone(r)        ? "the stick was removed"
                      : r.status == 0xC0000022 ? "access was denied"
                      : r.status == 0xC00000A3 ? "the stick is not started"
                                               : "the driver refused it";
    return std::string(what) + ": " + why;
}

json MappingValuesJson(const REMAP_RECORD& record) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    json values = json::object();
    for (const MappingValue& field : MappingValues()) {
        values[field.name] = bytes[field.offset];
    }
    return values;
}

// The .reg text as regedit writes it: UTF-16LE with a byte order mark.
std::string Utf16LeWithMark(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

} // namespace

struct UiServer::Impl {
    StickPool& pool;
    LiveFeed& feed;
    http::Server server;
    // The registry reader and writer that .reg files go through is one per
    // process: export and import take turns.
    std::mutex registryLock;

    Impl(StickPool& p, LiveFeed& f) : pool(p), feed(f) {}

    bool ReadRecord(unsigned stick, REMAP_RECORD* record, http::Response& res) {
        LinkResult r = pool.Control(stick, IOCTL_QUILLEX_GET_MAPPING, {}, sizeof(REMAP_RECORD));
        if (!r.ok || r.out.size() < sizeof(REMAP_RECORD)) {
            Fail(res, 502, DriverFailure("reading the mapping", r),
                 r.status ? StatusText(r.status) : std::string());
            return false;
        }
        memcpy(record, r.out.data(), sizeof(REMAP_RECORD));
        return true;
    }

    bool WriteRecord(unsigned stick, const REMAP_RECORD& record, const char* what,
                     http::Response& res) {
        std::vector<uint8_t> in(reinterpret_cast<const uint8_t*>(&record),
                                reinterpret_cast<const uint8_t*>(&record) + sizeof(record));
        LinkResult r = pool.Control(stick, IOCTL_QUILLEX_SET_MAPPING, in, 0);
        feed.MappingChanged(stick);
        if (!r.ok) {
            Fail(res, 502, DriverFailure(what, r), r.status ? StatusText(r.status) : std::string());
            return false;
        }
        return true;
    }

    // The mapping's values and, where the driver has them, its arcade settings.
    void ReplyMapping(unsigned stick, http::Response& res) {
        REMAP_RECORD record;
        if (ReadRecord(stick, &record, res)) {
            json values = MappingValuesJson(record);
            std::map<std::string, uint32_t> settings;
            if (ReadArcadeSettings(pool, stick, &settings)) {
                for (const auto& setting : settings) {
                    values[setting.first] = setting.second;
                }
            }
            Reply(res, 200, {{"ok", true}, {"values", values}});
        }
    }

    void Routes();
};

void UiServer::Impl::Routes() {
    auto asset = [this](const char* path, const char* type, std::string_view body) {
        server.Get(path, [type, body](const http::Request&, http::Response& res) {
            res.set_content(body.data(), body.size(), type);
        });
    };
    asset("/", "text/html; charset=utf-8", UiAsset("index.html"));
    asset("/app.js", "text/javascript; charset=utf-8", UiAsset("app.js"));
    asset("/curves.js", "text/javascript; charset=utf-8", UiAsset("curves.js"));
    asset("/app.css", "text/css; charset=utf-8", UiAsset("app.css"));

    server.Get("/api/sticks", [this](const http::Request&, http::Response& res) {
        unsigned count = pool.Count();
        Reply(res, 200, {{"ok", true}, {"sticks", count}, {"error", pool.LastError()}});
    });

    server.Get("/api/events", [this](const http::Request& req, http::Response& res) {
        unsigned stick = 0;
        if (!StickOf(req, res, &stick)) {
            return;
        }
        feed.Watch(stick);
        auto seen = std::make_shared<uint64_t>(0);
        auto released = std::make_shared<std::atomic<bool>>(false);
        LiveFeed* live = &feed;
        res.set_chunked_content_provider(
            "text/event-stream",
            [live, stick, seen](size_t, http::DataSink& sink) {
                std::string event;
                if (live->WaitNext(stick, seen.get(), &event, std::chrono::milliseconds(1000))) {
                    std::string message = "data: " + event + "\n\n";
                    return sink.write(message.data(), message.size());
                }
                if (live->Stopping()) {
                    sink.done();
                    return true;
                }
                // A comment line now and then, so a page that went away is noticed.
                static const char kKeepAlive[] = ": still here\n\n";
                return sink.write(kKeepAlive, sizeof(kKeepAlive) - 1);
            },
            [live, stick, released](bool) {
                if (!released->exchange(true)) {
                    live->Unwatch(stick);
                }
            });
    });

    server.Get("/api/mapping", [this](const http::Request& req, http::Response& res) {
        unsigned stick = 0;
        if (StickOf(req, res, &stick)) {
            ReplyMapping(stick, res);
        }
    });

    // A change of some of the mapping's values and arcade settings, by name:
    // {"values": {"BTN_A": 3, "DPAD_MODE": 1, ...}}. Every value is checked
    // before anything is sent; the mapping goes first, then each setting.
    server.Post("/api/mapping", [this](const http::Request& req, http::Response& res) {
        unsigned stick = 0;
        if (!StickOf(req, res, &stick)) {
            return;
        }
        json body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object() || !body.contains("values") ||
            !body["values"].is_object() || body["values"].empty()) {
            Fail(res, 400, "the body is {\"values\": {NAME: number, ...}}");
            return;
        }
        REMAP_RECORD record;
        if (!ReadRecord(stick, &record, res)) {
            return;
        }
        uint8_t* bytes = reinterpret_cast<uint8_t*>(&record);
        std::vector<std::pair<const ArcadeSetting*, uint32_t>> settings;
        for (const auto& item : body["values"].items()) {
            const MappingValue* field = FindMappingValue(item.key());
            if (const ArcadeSetting* setting = FindArcadeSetting(item.key())) {
                if (!item.value().is_number_unsigned() ||
                    item.value().get<uint64_t>() < setting->min ||
                    item.value().get<uint64_t>() > setting->max) {
                    Fail(res, 400,
                         std::string(setting->name) + " takes " + std::to_string(setting->min) +
                             " to " + std::to_string(setting->max));
                    return;
                }
                settings.emplace_back(setting, item.value().get<uint32_t>());
                continue;
            }
            if (field == nullptr) {
                Fail(res, 400, "\"" + item.key() + "\" is not one of the mapping's values");
                return;
            }
            if (!item.value().is_number_unsigned()) {
                Fail(res, 400, std::string(field->name) + " takes " + MappingRange(*field));
                return;
            }
            std::string error;
            if (item.value().get<uint64_t>() > 255 ||
                !ParseMappingValue(*field, std::to_string(item.value().get<uint64_t>()),
                                   &bytes[field->offset], &error)) {
                Fail(res, 400, std::string(field->name) + " takes " + MappingRange(*field));
                return;
            }
        }
        record.RestoreDefaults = 0;
        if (!WriteRecord(stick, record, "saving the mapping", res)) {
            return;
        }
        for (const auto& setting : settings) {
            LinkResult r = WriteArcadeSetting(pool, stick, *setting.first, setting.second);
            if (!r.ok) {
                Fail(res, 502,
                     DriverFailure((std::string("setting ") + setting.first->name).c_str(), r),
                     r.status ? StatusText(r.status) : std::string());
                return;
            }
        }
        ReplyMapping(stick, res);
    });

    server.Post("/api/defaults", [this](const http::Request& req, http::Response& res) {
        unsigned stick = 0;
        if (!StickOf(req, res, &stick)) {
            return;
        }
        REMAP_RECORD record{};
        record.RestoreDefaults = 1;
        if (WriteRecord(stick, record, "restoring the defaults", res)) {
            ReplyMapping(stick, res);
        }
    });

    server.Get("/api/export", [this](const http::Request& req, http::Response& res) {
        unsigned stick = 0;
        REMAP_RECORD record;
        if (!StickOf(req, res, &stick) || !ReadRecord(stick, &record, res)) {
            return;
        }
        // The arcade settings go beside the mapping, as quillexctl mapping
        // export writes them, when the driver has them.
        std::map<std::string, uint32_t> settings;
        ReadArcadeSettings(pool, stick, &settings);
        std::string text;
        {
            std::lock_guard<std::mutex> guard(registryLock);
            sim::registry::Reset();
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
            for (const MappingValue& field : MappingValues()) {
                sim::registry::SetDword(kRemapKey, field.name, bytes[field.offset]);
            }
            for (const auto& setting : settings) {
                sim::registry::SetDword(kRemapKey, setting.first, setting.second);
            }
            text = sim::registry::ExportRegText();
            sim::registry::Reset();
        }
        res.set_header("Content-Disposition", "attachment; filename=\"quillex-mapping-stick" +
                                                  std::to_string(stick + 1) + ".reg\"");
        res.set_content(Utf16LeWithMark(text), "application/octet-stream");
    });

    // A .reg file read, not applied: what it would change, and the names it
    // holds that are not the mapping's. The page applies the values it shows
    // through POST /api/mapping once the player agrees.
    server.Post("/api/import-preview", [this](const http::Request& req, http::Response& res) {
        unsigned stick = 0;
        REMAP_RECORD current;
        if (!StickOf(req, res, &stick) || !ReadRecord(stick, &current, res)) {
            return;
        }
        std::map<std::string, uint32_t> currentSettings;
        bool hasSettings = ReadArcadeSettings(pool, stick, &currentSettings);
        std::lock_guard<std::mutex> guard(registryLock);
        sim::registry::Reset();
        std::string error;
        if (!sim::registry::ImportRegText(req.body, &error)) {
            sim::registry::Reset();
            Fail(res, 400, "not a registry file: " + error);
            return;
        }
        if (!sim::registry::KeyExists(kRemapKey)) {
            sim::registry::Reset();
            Fail(res, 400, std::string("the file has no [") + kRemapKey + "] key");
            return;
        }
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&current);
        json changes = json::array(), unknown = json::array(), values = json::object();
        for (const sim::registry::Value& v : sim::registry::Values(kRemapKey)) {
            const MappingValue* field = FindMappingValue(v.name);
            const ArcadeSetting* setting = FindArcadeSetting(v.name);
            if (setting != nullptr && hasSettings) {
                std::optional<uint32_t> number = sim::registry::GetDword(kRemapKey, v.name);
                if (!number || *number < setting->min || *number > setting->max) {
                    sim::registry::Reset();
                    Fail(res, 400,
                         std::string(setting->name) + " in the file is not a dword within " +
                             ArcadeSettingRange(*setting));
                    return;
                }
                values[setting->name] = *number;
                uint32_t now = currentSettings[setting->name];
                if (*number != now) {
                    changes.push_back({{"name", setting->name}, {"from", now}, {"to", *number}});
                }
                continue;
            }
            // A driver without the arcade settings cannot take them either.
            if (field == nullptr) {
                unknown.push_back(v.name);
                continue;
            }
            std::optional<uint32_t> number = sim::registry::GetDword(kRemapKey, v.name);
            uint8_t parsed = 0;
            if (!number || !ParseMappingValue(*field, std::to_string(*number), &parsed, &error)) {
                sim::registry::Reset();
                Fail(res, 400,
                     std::string(field->name) + " in the file is not a dword within " +
                         MappingRange(*field));
                return;
            }
            values[field->name] = parsed;
            if (parsed != bytes[field->offset]) {
                changes.push_back(
                    {{"name", field->name}, {"from", bytes[field->offset]}, {"to", parsed}});
            }
        }
        sim::registry::Reset();
        Reply(res, 200,
              {{"ok", true}, {"changes", changes}, {"unknown", unknown}, {"values", values}});
    });
}

UiServer::UiServer(StickPool& pool, LiveFeed& feed, std::string token, bool listenAny)
    : impl_(std::make_unique<Impl>(pool, feed)) {
    guard_.token = std::move(token);
    guard_.listenAny = listenAny;
    http::Server& server = impl_->server;
    server.set_payload_max_length(kMaxUiBodyBytes);
    server.set_pre_routing_handler([this](const http::Request& req, http::Response& res) {
        SecurityHeaders(res);
        GuardRequest g;
        g.method = req.method;
        g.path = req.path;
        g.queryToken = req.get_param_value("token");
        g.host = req.get_header_value("Host");
        g.origin = req.get_header_value("Origin");
        g.secFetchSite = req.get_header_value("Sec-Fetch-Site");
        g.cookie = req.get_header_value("Cookie");
        GuardResult verdict = CheckRequest(guard_, g);
        if (verdict.verdict == GuardVerdict::Allow) {
            return http::Server::HandlerResponse::Unhandled;
        }
        if (verdict.verdict == GuardVerdict::AllowAndSetCookie) {
            // The token leaves the address bar and the history at once.
            res.set_header("Set-Cookie", TokenCookie(guard_.token));
            res.set_redirect("/", 303);
            return http::Server::HandlerResponse::Handled;
        }
        res.status = 403;
        res.set_content("403 Forbidden: " + verdict.reason + "\n", "text/plain; charset=utf-8");
        return http::Server::HandlerResponse::Handled;
    });
    server.set_error_handler([](const http::Request&, http::Response& res) {
        if (!res.has_header("Content-Security-Policy")) {
            SecurityHeaders(res);
        }
        if (res.body.empty()) {
            res.set_content(std::to_string(res.status) + "\n", "text/plain; charset=utf-8");
        }
    });
    impl_->Routes();
}

UiServer::~UiServer() = default;

int UiServer::Bind(int port, std::string* error) {
    const char* host = guard_.listenAny ? "0.0.0.0" : "127.0.0.1";
    http::Server& server = impl_->server;
    int bound = -1;
    if (port == 0) {
        bound = server.bind_to_any_port(host);
    } else if (server.bind_to_port(host, port)) {
        bound = port;
    }
    if (bound <= 0) {
        *error = std::string("cannot listen on ") + host + ":" + std::to_string(port) +
                 (port ? " (is the port taken?)" : "");
        return -1;
    }
    guard_.port = static_cast<uint16_t>(bound);
    return bound;
}

bool UiServer::Run() {
    return impl_->server.listen_after_bind();
}

void UiServer::Stop() {
    impl_->server.stop();
}
