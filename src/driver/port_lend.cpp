// The driver's side of the port handover: what its link does when another
// program borrows the serial port and when it gives it back.
#include "driver/driver.h"

void CBrailleSampleDriver::ServiceHandover() {
    switch (handover.Service(comPortNumber)) {
    case CHandover::Request::Lend:
        LendPort();
        // The other program opens the port once it reads the answer.
        handover.AnswerLend(deviceVersion);
        return;
    case CHandover::Request::GivenBack:
        TakeBackPort();
        return;
    case CHandover::Request::None:
        return;
    }
}

// Only the serial port is lent: a USB display keeps its link.
void CBrailleSampleDriver::LendPort() {
    const bool serialRunning = link == LinkState::Running && !usingHid;
    CloseSerialPort();  // the port of the serial link or of the search
    if (serialRunning) SetLink(LinkState::Lent);
}

// Only a link that gave up its port takes it back here. A search goes on and
// now tries the port as well; a suspended link waits for the host's resume; a
// USB link never used the port.
void CBrailleSampleDriver::TakeBackPort() {
    if (link != LinkState::Lent) return;
    if (!OpenDevice(portName)) StartSearch();
}
