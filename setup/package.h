// What the Ostrolink package puts on a machine: the names and the driver-key values that driver/oslnk.inf
// also states. Setup (oslnkset.exe and the host tool's install) and the removal program meet through them.
#ifndef OSLNKSET_PACKAGE_H
#define OSLNKSET_PACKAGE_H

// The files of the installation media, copied into the system directory, in this order.
#define OSLNK_PACKAGE_DRIVER_FILE "oslnk.sys"
#define OSLNK_PACKAGE_HELPER_FILE "oslnkin.dll"
#define OSLNK_PACKAGE_MONITOR_FILE "reveror.dll"
// The INF on the media, and its copy below the Windows directory (where Windows 98 keeps OEM INFs, and the
// name the removal program deletes).
#define OSLNK_PACKAGE_INF_FILE "oslnk.inf"
#define OSLNK_PACKAGE_INF_FOLDER "INF\\OTHER"
#define OSLNK_PACKAGE_INF_COPY "INF\\OTHER\\DODOZEREDID.INF"

// The cable's device class: the class key [ClassInstall] writes and its first driver key.
#define OSLNK_PACKAGE_CLASS_PARENT "System\\CurrentControlSet\\Services\\Class"
#define OSLNK_PACKAGE_CLASS_NAME "USBQXC"
#define OSLNK_PACKAGE_CLASS_KEY OSLNK_PACKAGE_CLASS_PARENT "\\" OSLNK_PACKAGE_CLASS_NAME
#define OSLNK_PACKAGE_DRIVER_KEY OSLNK_PACKAGE_CLASS_KEY "\\0000"
#define OSLNK_PACKAGE_CLASS_DESCRIPTION "Ostrolink USB printer cable"
#define OSLNK_PACKAGE_DEVICE_DESCRIPTION "Ostrolink USB printer cable"
#define OSLNK_PACKAGE_PROVIDER "Molvex"
#define OSLNK_PACKAGE_INSTALL_SECTION "OSLNK.Dev"

// The port monitor, added through oslnkin's AddMonitor32.
#define OSLNK_PACKAGE_MONITOR_NAME "Molvex USB Cable Port Monitor"
#define OSLNK_PACKAGE_MONITOR_ENVIRONMENT "Windows 4.0"
#define OSLNK_PACKAGE_ADD_MONITOR_EXPORT "AddMonitor32"

#endif
