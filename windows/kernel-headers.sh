# Sourced by the Windows build scripts: the kernel headers and definitions the
# driver compiles with on this machine, the same set the Windows header check
# uses. KMDF: the framework's public headers beside that check (kmdf-1.15/).
# WDM, HID, USB: mingw-w64's DDK headers, with small overlays for what the
# WDK's headers declare and mingw's lack.
#
#   kernel_headers DIR    writes the overlays into DIR and sets KERNEL_FLAGS

kernel_headers() {
    local dir=$1 checker_dir
    local checker=${QUILLEX_WDK_CHECK:-../shared/wdk-check/check.sh} common
    # A worktree finds the check beside the clone it was made from.
    if [[ ! -f $checker ]] && common=$(git rev-parse --git-common-dir 2>/dev/null); then
        [[ -f $common/../../shared/wdk-check/check.sh ]] && checker=$common/../../shared/wdk-check/check.sh
    fi
    checker_dir=$(cd "$(dirname "$checker")" 2>/dev/null && pwd) || {
        echo "kernel-headers: no Windows header check beside the clone (set QUILLEX_WDK_CHECK)" >&2
        return 2
    }
    local kmdf=$checker_dir/kmdf-1.15 mingw=/usr/x86_64-w64-mingw32/include
    [[ -f $kmdf/wdf.h ]] || { echo "kernel-headers: no KMDF headers in $kmdf" >&2; return 2; }
    [[ -f $mingw/ddk/wdm.h ]] || { echo "kernel-headers: mingw-w64-x86-64-dev is not installed" >&2; return 2; }
    mkdir -p "$dir/overlay"

    # Annotations driver code uses that mingw's driverspecs.h lacks.
    {
        echo '#include_next <driverspecs.h>'
        for a in _Dispatch_type_ _IRQL_saves_global_ _IRQL_restores_global_; do
            printf '#ifndef %s\n#define %s(...)\n#endif\n' "$a" "$a"
        done
    } >"$dir/overlay/driverspecs.h"
    # The WDK's hidpi.h brings hidusage.h, and its hidpddi.h brings hidpi.h.
    printf '#include <hidusage.h>\n#include_next <hidpi.h>\n' >"$dir/overlay/hidpi.h"
    printf '#include <hidpi.h>\n' >"$dir/overlay/hidpddi.h"
    # The WDK's usbbusif.h names each bus-interface routine's function type.
    {
        echo '#include_next <usbbusif.h>'
        echo '#ifndef QX_BUSIFFN'
        echo '#define QX_BUSIFFN'
        echo 'template <class T> struct qx_pointee; template <class T> struct qx_pointee<T*> { typedef T type; };'
        for t in SUBMIT_ISO_OUT_URB GETUSBDI_VERSION QUERY_BUS_TIME ENUM_LOG_ENTRY QUERY_BUS_INFORMATION \
            IS_DEVICE_HIGH_SPEED; do
            echo "typedef qx_pointee<PUSB_BUSIFFN_$t>::type USB_BUSIFFN_$t;"
        done
        echo '#endif'
    } >"$dir/overlay/usbbusif.h"
    # ntstrsafe's counted-string routines: mingw's header has none. The driver
    # gets them from windows/unicode_string_safe.cpp, as the WDK's from its library.
    cat >"$dir/overlay/ntstrsafe.h" <<'EOF'
#include_next <ntstrsafe.h>
#ifndef QX_NTSTRSAFE_COUNTED
#define QX_NTSTRSAFE_COUNTED
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH (0xffff / sizeof(wchar_t))
EXTERN_C NTSTATUS NTAPI RtlUnicodeStringCopy(PUNICODE_STRING, PCUNICODE_STRING);
EXTERN_C NTSTATUS NTAPI RtlUnicodeStringCat(PUNICODE_STRING, PCUNICODE_STRING);
EXTERN_C NTSTATUS __cdecl RtlUnicodeStringPrintf(PUNICODE_STRING, NTSTRSAFE_PCWSTR, ...);
#endif
EOF
    # What the WDK's wdm.h and ntdef.h bring and mingw's do not.
    cat >"$dir/wdk_extras.h" <<'EOF'
#ifndef offsetof
#define offsetof(s, m) __builtin_offsetof(s, m)
#endif
#ifndef InterlockedExchange8
#define InterlockedExchange8 _InterlockedExchange8
#endif
#ifndef InterlockedCompareExchange8
#define InterlockedCompareExchange8 _InterlockedCompareExchange8
#endif
EOF

    local resource
    resource=$("${WINDOWS_CC:-clang}" -print-resource-dir)/include
    KERNEL_FLAGS=(--target=x86_64-pc-windows-msvc -ffreestanding -fms-extensions -fms-compatibility
        -D__GNUC__=4 -D__GNUC_MINOR__=2 -D__GNUC_PATCHLEVEL__=1
        -D_KERNEL_MODE=1 -DSTRICT -D_AMD64_ -D_WIN64 -DNTDDI_VERSION=0x06010000 -D_WIN32_WINNT=0x0601
        -DKMDF_VERSION_MAJOR=1 -DKMDF_VERSION_MINOR=9
        -include "$dir/wdk_extras.h" -nostdinc -isystem "$dir/overlay" -isystem "$kmdf"
        -isystem "$resource" -isystem "$mingw" -idirafter "$mingw/ddk")
}
