// Placeholder: serial frame protocol.
#include "driver/driver.h"
int CBrailleSampleDriver::OpenSerialPort() { return 0; }
int CBrailleSampleDriver::IdentifySerialDevice() { return 0; }
void CBrailleSampleDriver::SendFrame(uint8_t, uint8_t, const uint8_t*) {}
void CBrailleSampleDriver::FeedByte(uint8_t) {}
void CBrailleSampleDriver::BusyWait(uint16_t) {}
void CBrailleSampleDriver::CompleteFrame() {}
