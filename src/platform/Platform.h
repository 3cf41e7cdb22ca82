#pragma once

#include <QString>

// What differs between macOS and Linux: where the tools are, which processor family
// runs us, the per-user temporary folder and the shell.
namespace platform {

// "silicon" on 64-bit Arm, "intel" everywhere else.
QString architectureFolderName();

// The "tool_extras" resource folder, or the empty text when there is none.
QString resourceFolderPath();

// A temporary folder private to this user, always ending in "/".
QString temporaryFolder();

// The shell that runs our one-line commands and the tunnel helper script.
QString shellPath();

// Whether an iPhone or iPad (USB vendor id 05ac, a phone's product id) is plugged in, from the
// kernel's list of USB devices (Linux's /sys/bus/usb/devices, each with idVendor and idProduct). Tells "no phone
// plugged in" from "usbmuxd not running": udev starts usbmuxd only while an Apple device is
// plugged in, so with none its socket is rightly absent.
bool appleDeviceOnUsb(const QString &usbDevicesFolder);

} // namespace platform
