// The WDK's initguid.h: from here on DEFINE_GUID defines rather than declares.
#define INITGUID
#include "guiddef.h"
