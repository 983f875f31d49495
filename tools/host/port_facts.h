// What the first-run check finds out about a serial port on its own handle:
// the settings and capabilities it reports, its device entry, whether the
// driver's settings take, and whether the port is free.
#ifndef BRL_HOST_PORT_FACTS_H
#define BRL_HOST_PORT_FACTS_H

#include <windows.h>

#include <string>

// "\\.\COM3" for "COM3".
std::string PortPath(const std::string& port);
// Opens the port as the driver does (no sharing); INVALID_HANDLE_VALUE with
// the error in *error.
HANDLE OpenPort(const std::string& port, DWORD* error);
// 0 when the port opens (it is closed again at once), else the error.
DWORD TryOpenPort(const std::string& port);
// GetCommState, GetCommTimeouts and GetCommProperties read back, one line each.
std::string DescribeCommSettings(HANDLE handle);
// The driver's own line settings and time-outs applied on the handle, with
// what SetCommState and SetCommTimeouts answered.
std::string ApplyDriverSettings(HANDLE handle, bool* accepted);
// The port's device description and driver provider from the device list, or
// why there is none.
std::string DescribePortDevice(const std::string& port);

#endif
