#ifdef _WIN32

#include "tools/quillexctl/win32_text.h"

std::string Win32Text(DWORD error) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof(text), nullptr);
    // The system's texts end in a full stop and a line break.
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) {
        text[--n] = '\0';
    }
    return "error " + std::to_string(error) + (n > 0 ? std::string(" (") + text + ")" : "");
}

#endif // _WIN32
