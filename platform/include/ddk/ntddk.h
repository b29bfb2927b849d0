/* Windows 98 kernel interface for drivers, host build: everything of it the host kernel offers is in wdm.h. */
#ifndef OSLNK_HOST_DDK_NTDDK_H
#define OSLNK_HOST_DDK_NTDDK_H
#include <ddk/wdm.h>
#endif
