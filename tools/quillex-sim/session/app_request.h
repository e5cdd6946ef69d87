// The companion application's requests in a session script: what a line
// asks, sent as the application sends it (DeviceIoControl on the stick's
// device interface, with the six control codes), and what came back, in
// words.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/peers/app/companion.h"
#include "tools/quillex-sim/session/script_tokens.h"

struct AppRequest {
    enum Kind {
        kSetMappingValues, // set NAME=VALUE ...: GET_MAPPING, the values changed, SET_MAPPING;
                           // then a SET_VALUE for each arcade setting named
        kRestoreDefaults,  // restore-defaults: SET_MAPPING with RestoreDefaults
        kGetMapping,       // get-mapping
        kGetState,         // get-state
        kSetState,         // set-state ...: SET_STATE with a whole block
        kGetValue,         // get-value ITEM
        kSetValue,         // set-value ITEM=VALUE
    } kind = kGetState;
    std::string text; // the request as shown and recorded: "get-value DPAD"
    std::vector<std::pair<unsigned, uint8_t>> mappingValues; // record offset, value
    std::vector<std::pair<ULONG, ULONG>> settingValues;      // set DPAD_MODE=1: item id, value
    APP_INSTANCE state{};                                    // kSetState
    ULONG itemId = 0;                                        // kGetValue, kSetValue
    ULONG value = 0;                                         // kSetValue

    // A request that writes the state block pushes a report to the
    // emulated controller when the driver accepts it.
    // A setting (DPAD_MODE ...) is no part of the block and pushes nothing.
    bool Pushes() const {
        return kind == kSetState || (kind == kSetValue && itemId < QUILLEX_ITEM_SETTINGS_FIRST);
    }
};

// Whether 'word' starts a request ("set", "get-state" ...).
bool IsRequestWord(std::string_view word);
// Parses the request in tokens[first, end); false with *error at the token
// at fault (its line left to the caller).
bool ParseAppRequest(const std::vector<ScriptToken>& tokens, size_t first, size_t end,
                     AppRequest* request, ScriptError* error);
// Parses a request written as one line ("set-value DPAD=4"), as recordings
// keep it.
bool ParseAppRequestText(std::string_view text, AppRequest* request, ScriptError* error);
// The mapping record byte a registry value name ("BTN_A") stands for.
bool MappingValueOffset(std::string_view name, unsigned* offset);

struct AppRequestResult {
    bool ok = false;
    std::string code; // the control code that answered last ("IOCTL_QUILLEX_GET_VALUE")
    NTSTATUS status = STATUS_SUCCESS;
    DWORD win32Error = ERROR_SUCCESS;
    DWORD returned = 0;
    std::vector<uint8_t> reply; // the bytes the request returned
    std::string meaning;        // the reply in words, or why it failed
};

// Sends the request through 'app' (open) and waits for its answer.
void SendAppRequest(sim::app::Companion& app, const AppRequest& request, AppRequestResult* result);
// "STATUS_INVALID_DEVICE_REQUEST (0xC0000010), Windows error 1".
std::string FailureText(const AppRequestResult& result);
