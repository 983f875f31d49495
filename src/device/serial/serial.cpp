// Placeholder until the port wrapper lands.
#include "serial.h"
CSerial::CSerial() : lastError(0), handle(nullptr), events(0), eventMask(0), ioEvent(nullptr) {}
CSerial::~CSerial() { Close(); }
LONG CSerial::Open(const char*, DWORD, DWORD, bool) { return lastError = ERROR_FILE_NOT_FOUND; }
LONG CSerial::Close() { return lastError = 0; }
LONG CSerial::Configure(DWORD, BYTE, BYTE, BYTE) { return 6; }
LONG CSerial::SetEventCharacter(BYTE, bool) { return 6; }
LONG CSerial::SetEventMask(DWORD) { return 6; }
LONG CSerial::WaitForEvent(OVERLAPPED*, DWORD) { return 6; }
LONG CSerial::SetHandshakeMode(int) { return 6; }
LONG CSerial::SetReadMode(int) { return 6; }
LONG CSerial::GetBaudRate() { return -1; }
LONG CSerial::GetDataBits() { return -1; }
LONG CSerial::GetParity() { return -1; }
LONG CSerial::GetStopBits() { return -1; }
LONG CSerial::GetHandshakeMode() { return -1; }
DWORD CSerial::GetEventMask() { return 0; }
BYTE CSerial::GetEventCharacter() { return 0; }
LONG CSerial::WriteString(const char*, DWORD*, OVERLAPPED*, DWORD) { return 6; }
LONG CSerial::Write(const void*, DWORD, DWORD* c, OVERLAPPED*, DWORD) { if (c) *c = 0; return 6; }
LONG CSerial::Read(void*, DWORD, DWORD* c, OVERLAPPED*, DWORD) { if (c) *c = 0; return 6; }
LONG CSerial::Purge() { return 6; }
LONG CSerial::SendBreak() { return 6; }
DWORD CSerial::TakeEvents() { return 0; }
DWORD CSerial::GetLineErrors() { return 0; }
bool CSerial::IsCtsOn() { return false; }
bool CSerial::IsDsrOn() { return false; }
bool CSerial::IsRingOn() { return false; }
bool CSerial::IsCarrierOn() { return false; }
