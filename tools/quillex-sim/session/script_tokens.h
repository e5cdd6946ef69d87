// The words of a session script line, with the column each starts at, and
// the small readers the script's parts share.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

struct ScriptToken {
    std::string_view text;
    int column; // 1-based
};

struct ScriptError {
    int line = 0;
    int column = 0; // 1-based, of the token at fault
    std::string message;
};

// Splits a line into tokens, a quoted label as one; '#' outside quotes
// starts a comment. False (with the column) when a label is not closed.
bool TokenizeScriptLine(std::string_view line, std::vector<ScriptToken>* tokens,
                        ScriptError* error);
bool EqualNoCase(std::string_view a, std::string_view b);
// A decimal number of at most 10 digits, at most 'limit'.
bool ParseDecimal(std::string_view text, uint64_t limit, uint64_t* out);
// "up" ... "up-left" (0..7), "centre" or "center" (8).
bool ParseHatName(std::string_view name, uint8_t* hat);
// A canonical button by name, "BTN_A" or "A", any case: its bit.
bool ParseButtonName(std::string_view name, uint32_t* bit);
