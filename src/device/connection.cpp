// Placeholder: device connection and poll cycle.
#include "driver/driver.h"
int CBrailleSampleDriver::OpenDevice(const char*) { return 0; }
void CBrailleSampleDriver::CloseDevice() {}
uint8_t CBrailleSampleDriver::TranslateDots(uint8_t b) { return b; }
void CBrailleSampleDriver::SendTextCells(const uint8_t*, uint32_t) {}
void CBrailleSampleDriver::SendAllCells(const uint8_t*, uint32_t) {}
void CBrailleSampleDriver::SendBlankCells() {}
void CBrailleSampleDriver::ResendCellImage() {}
void CBrailleSampleDriver::PollTick() {}
void CBrailleSampleDriver::SuspendFromWorker() {}
void CBrailleSampleDriver::ProbeReturningDisplay() {}
