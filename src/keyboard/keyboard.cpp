// Placeholder until keyboard emulation lands.
#include "driver/driver.h"
void CBrailleSampleDriver::TypeCharacter(uint16_t) {}
void CBrailleSampleDriver::InjectScanCode(uint16_t) {}
