#include "sim/peers/app/companion.h"

namespace sim::app {

Companion::~Companion() {
    Close();
}

bool Companion::Finish(BOOL ok) {
    lastError_ = ::GetLastError();
    lastStatus_ = sim::win32::LastNtStatus();
    return ok != FALSE;
}

bool Companion::Open(const std::string& interfacePath, DWORD access) {
    Close();
    handle_ = CreateFileA(interfacePath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return Finish(handle_ != INVALID_HANDLE_VALUE);
}

void Companion::Close() {
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

bool Companion::Control(ULONG code, const void* input, DWORD inputLength, void* output,
                        DWORD outputLength, DWORD* returned) {
    lastReturned_ = 0;
    BOOL ok = DeviceIoControl(handle_, code, const_cast<void*>(input), inputLength, output,
                              outputLength, &lastReturned_, nullptr);
    if (returned != nullptr) {
        *returned = lastReturned_;
    }
    return Finish(ok);
}

bool Companion::GetState(APP_INSTANCE* state) {
    return Control(IOCTL_QUILLEX_GET_STATE, nullptr, 0, state, sizeof(*state));
}

bool Companion::SetState(const APP_INSTANCE& state) {
    return Control(IOCTL_QUILLEX_SET_STATE, &state, sizeof(state), nullptr, 0);
}

bool Companion::GetValue(ULONG dataItemId, UCHAR reply[4]) {
    // The id travels in the buffer the reply comes back in.
    UCHAR buffer[4];
    for (int i = 0; i < 4; ++i) {
        buffer[i] = static_cast<UCHAR>(dataItemId >> (8 * i));
    }
    bool ok = Control(IOCTL_QUILLEX_GET_VALUE, buffer, sizeof(buffer), buffer, sizeof(buffer));
    for (int i = 0; i < 4; ++i) {
        reply[i] = buffer[i];
    }
    return ok;
}

bool Companion::SetValue(ULONG dataItemId, ULONG value) {
    QUILLEX_SET_VALUE_INPUT input;
    input.DataItemId = dataItemId;
    for (int i = 0; i < 4; ++i) {
        input.Value[i] = static_cast<UCHAR>(value >> (8 * i));
    }
    return Control(IOCTL_QUILLEX_SET_VALUE, &input, sizeof(input), nullptr, 0);
}

bool Companion::GetMapping(REMAP_RECORD* mapping) {
    return Control(IOCTL_QUILLEX_GET_MAPPING, nullptr, 0, mapping, sizeof(*mapping));
}

bool Companion::SetMapping(const REMAP_RECORD& mapping) {
    return Control(IOCTL_QUILLEX_SET_MAPPING, &mapping, sizeof(mapping), nullptr, 0);
}

} // namespace sim::app
