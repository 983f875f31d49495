#include "port_facts.h"

#include <setupapi.h>

#include <cstdarg>
#include <cstdio>

#include "console_text.h"
#include "device/serial/serial.h"
#include "system_message.h"

namespace {

std::string Answer(BOOL ok) { return ok ? "accepted" : "refused: " + tools::SystemMessage(GetLastError()); }

}  // namespace

std::string PortPath(const std::string& port) { return "\\\\.\\" + port; }

HANDLE OpenPort(const std::string& port, DWORD* error) {
    HANDLE h = CreateFileA(PortPath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    *error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return h;
}

DWORD TryOpenPort(const std::string& port) {
    DWORD error = 0;
    HANDLE h = OpenPort(port, &error);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return error;
}

std::string DescribeCommSettings(HANDLE handle) {
    std::string text;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(handle, &dcb)) {
        text += tools::Format(
            "GetCommState: %lu baud, %u data bits, parity %u, stop bits %u; binary %u, parity check %u, "
            "CTS %u, DSR %u, DTR control %u, DSR sensitivity %u, TX on XOFF %u, XON/XOFF out %u in %u, "
            "error char %u, NUL stripping %u, RTS control %u, abort on error %u; XON %02X XOFF %02X, "
            "limits %u/%u\n",
            dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.fBinary, dcb.fParity, dcb.fOutxCtsFlow,
            dcb.fOutxDsrFlow, dcb.fDtrControl, dcb.fDsrSensitivity, dcb.fTXContinueOnXoff, dcb.fOutX, dcb.fInX,
            dcb.fErrorChar, dcb.fNull, dcb.fRtsControl, dcb.fAbortOnError, static_cast<unsigned char>(dcb.XonChar),
            static_cast<unsigned char>(dcb.XoffChar), dcb.XonLim, dcb.XoffLim);
    } else {
        text += "GetCommState failed: " + tools::SystemMessage(GetLastError()) + "\n";
    }
    COMMTIMEOUTS t = {};
    if (GetCommTimeouts(handle, &t)) {
        text += tools::Format("GetCommTimeouts: read interval %lu, read %lu per byte + %lu, write %lu per byte + %lu\n",
                              t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                              t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant);
    } else {
        text += "GetCommTimeouts failed: " + tools::SystemMessage(GetLastError()) + "\n";
    }
    COMMPROP p = {};
    if (GetCommProperties(handle, &p)) {
        text += tools::Format(
            "GetCommProperties: provider type 0x%08lX, sub type 0x%08lX, max baud 0x%08lX, settable baud "
            "0x%08lX, capabilities 0x%08lX, queues in %lu out %lu (current %lu/%lu)\n",
            p.dwProvSpec1, p.dwProvSubType, p.dwMaxBaud, p.dwSettableBaud, p.dwProvCapabilities, p.dwMaxRxQueue,
            p.dwMaxTxQueue, p.dwCurrentRxQueue, p.dwCurrentTxQueue);
    } else {
        text += "GetCommProperties failed: " + tools::SystemMessage(GetLastError()) + "\n";
    }
    return text;
}

std::string ApplyDriverSettings(HANDLE handle, bool* accepted) {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    const BOOL read = GetCommState(handle, &dcb);
    std::string text = "GetCommState " + Answer(read) + "\n";
    dcb = CSerial::LinkSettings(dcb);
    const BOOL state = SetCommState(handle, &dcb);
    text += "SetCommState with the driver's settings (38400 8N1, no flow control): " + Answer(state) + "\n";
    COMMTIMEOUTS timeouts = CSerial::kLinkTimeouts;
    const BOOL times = SetCommTimeouts(handle, &timeouts);
    text += "SetCommTimeouts with the driver's time-outs (immediate reads): " + Answer(times) + "\n";
    *accepted = read && state && times;
    return text;
}

std::string DescribePortDevice(const std::string& port) {
    // Ports and modems both carry COM names (a Bluetooth port is a modem on some systems).
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return "device list unavailable: " + tools::SystemMessage(GetLastError()) + "\n";
    std::string text;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; text.empty() && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[64] = {};
        DWORD size = sizeof name - 1;
        DWORD type = 0;
        const bool named =
            RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
            type == REG_SZ;
        RegCloseKey(key);
        if (!named || _stricmp(name, port.c_str()) != 0) continue;
        char description[256] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<BYTE*>(description), sizeof description - 1, nullptr))
            SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_DEVICEDESC, nullptr,
                                              reinterpret_cast<BYTE*>(description), sizeof description - 1, nullptr);
        char provider[256] = "unknown";
        HKEY driverKey = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        if (driverKey != INVALID_HANDLE_VALUE) {
            DWORD length = sizeof provider - 1;
            if (RegQueryValueExA(driverKey, "ProviderName", nullptr, &type, reinterpret_cast<BYTE*>(provider),
                                 &length) != ERROR_SUCCESS)
                std::snprintf(provider, sizeof provider, "unknown");
            RegCloseKey(driverKey);
        }
        text = "device: \"" + std::string(description) + "\", driver provider \"" + provider + "\"\n";
    }
    SetupDiDestroyDeviceInfoList(set);
    return text.empty() ? "device: no device entry names " + port + " (under Wine ports have none)\n" : text;
}
