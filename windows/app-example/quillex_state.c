/* A C application of the Quillex control interface: finds the first arcade
 * stick Quillex serves, reads its state and prints it. It exists to prove
 * that appapi/quillex_public.h serves a C program built with the platform's
 * own <windows.h> and <winioctl.h>.
 *
 * Exit status: 0 with the state printed, 1 when no stick is present, 2 when
 * the stick could not be read. */
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <initguid.h>
#include <stdio.h>

#include "appapi/quillex_public.h"

int main(void) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_QUILLEX, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data;
    BYTE buffer[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 512 * sizeof(WCHAR)];
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_W)buffer;
    APP_INSTANCE state;
    DWORD returned = 0;
    HANDLE handle;
    BOOL read;
    int i;

    if (set == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "quillex_state: SetupDiGetClassDevs failed: error %lu\n", GetLastError());
        return 2;
    }
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_QUILLEX, 0, &data)) {
        SetupDiDestroyDeviceInfoList(set);
        fprintf(stderr, "quillex_state: no arcade stick is present (is quillex.sys installed?)\n");
        return 1;
    }
    detail->cbSize = sizeof(*detail);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof(buffer), NULL, NULL)) {
        SetupDiDestroyDeviceInfoList(set);
        fprintf(stderr, "quillex_state: the stick's interface has no usable path\n");
        return 2;
    }
    handle = CreateFileW(detail->DevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
    SetupDiDestroyDeviceInfoList(set);
    if (handle == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "quillex_state: cannot open the stick: error %lu\n", GetLastError());
        return 2;
    }
    read = DeviceIoControl(handle, IOCTL_QUILLEX_GET_STATE, NULL, 0, &state, sizeof(state),
                           &returned, NULL);
    CloseHandle(handle);
    if (!read || returned != sizeof(state)) {
        fprintf(stderr, "quillex_state: the stick's state could not be read: error %lu\n",
                GetLastError());
        return 2;
    }
    printf("buttons");
    for (i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; i++) {
        printf(" %u", state.Buttons[i] != 0);
    }
    printf("\nleft stick %lu,%lu  right stick %lu,%lu  d-pad %lu  triggers %lu,%lu  led %lu\n",
           state.LeftStickX, state.LeftStickY, state.RightStickX, state.RightStickY, state.Dpad,
           state.FirstTrigger, state.SecondTrigger, state.Led);
    return 0;
}
