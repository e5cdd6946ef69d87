// DEFINE_GUID as the WDK's guiddef.h has it: a declaration of an extern GUID,
// unless INITGUID is defined (by <initguid.h>), in which case the same line
// defines it. So exactly one source of a program includes <initguid.h> before
// the headers that declare its GUIDs; forgetting it fails the link, here as on
// Windows. Not guarded: <initguid.h> reads it again to switch the macro.
#undef DEFINE_GUID
#ifdef INITGUID
// Weak, as the WDK's DECLSPEC_SELECTANY: two definitions of one GUID are one.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    extern "C" __attribute__((weak)) const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) extern "C" const GUID name
#endif
