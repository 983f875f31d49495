// Placeholder until the port handover lands.
#include "driver/driver.h"
bool CBrailleSampleDriver::ServiceHandover() { return false; }
void CBrailleSampleDriver::LendPort(int) {}
void CBrailleSampleDriver::ReleaseHandoverSection() {}
