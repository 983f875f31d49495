// Placeholder until the USB HID transport lands.
#include "driver/driver.h"
int CBrailleSampleDriver::FindHidDevice() { hidHandle = nullptr; return 0; }
int CBrailleSampleDriver::HidHandshake() { return 0; }
int CBrailleSampleDriver::WriteHidReport(const uint8_t*) { return 1; }
int CBrailleSampleDriver::ReadHidReport(uint8_t*) { return -1; }
void CBrailleSampleDriver::WriteCellsHid(const uint8_t*) {}
void CBrailleSampleDriver::HandleHidReport(const uint8_t*) {}
void CBrailleSampleDriver::FinishHidRead() {}
