// The USB display on the virtual HID device (see the header).
#include "usb_display.h"

#include <cstring>

namespace vhid {

bool CUsbDisplay::Start() {
    if (thread_.joinable()) return true;
    if (!control_.Open()) return false;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

CUsbDisplay::~CUsbDisplay() {
    Stop();
    if (stopEvent_) CloseHandle(stopEvent_);
}

void CUsbDisplay::Stop() {
    stop_ = true;
    if (stopEvent_) SetEvent(stopEvent_);
    if (releaser_.joinable()) releaser_.join();
    if (thread_.joinable()) thread_.join();
    if (stopEvent_) ResetEvent(stopEvent_);
}

bool CUsbDisplay::HoldFor(DWORD ms) {
    if (releaser_.joinable()) releaser_.join();
    if (!control_.Hold()) return false;
    releaser_ = std::thread([this, ms] {
        WaitForSingleObject(stopEvent_, ms);
        control_.Release();
    });
    return true;
}

void CUsbDisplay::Run() {
    while (!stop_) {
        Report report{};
        if (control_.TakeOutput(report.data(), 50)) Take(report);
    }
}

void CUsbDisplay::Take(const Report& report) {
    if (onReport) onReport("<-", report);
    const uint8_t* p = report.data() + 1;
    bool hello = false, complete = false;
    Frame done;
    {
        std::lock_guard<std::mutex> hold(lock_);
        reports_.push_back(report);
        if (p[0] == 0xFB && p[1] == 0xAA && p[2] == 0x55) {
            ++hellos_;
            hello = true;
        } else if (p[0] == 0xFF && p[1] == 0xAA && p[2] == 0x55) {
            std::memcpy(building_.cells.data(), p + 3, 5);
            nextPart_ = 1;
        } else if (nextPart_ >= 1 && nextPart_ <= 4) {
            std::memcpy(building_.cells.data() + 5 + (nextPart_ - 1) * kPayloadSize, p, kPayloadSize);
            ++nextPart_;
        } else if (nextPart_ == 5 && p[5] == 0x55 && p[6] == 0xAA && p[7] == 0xFF) {
            std::memcpy(building_.cells.data() + 37, p, 5);
            building_.ms = Now();
            frames_.push_back(building_);
            done = building_;
            complete = true;
            nextPart_ = 0;
        } else {
            nextPart_ = 0;  // not part of a frame: whatever was being built is lost
        }
    }
    if (hello && answersHello_) Send({0xFB, 0xAA, 0x55, 0x01, 0x00, 0, 0, 0});
    if (complete) {
        if (onFrame) onFrame(done);
        if (autoAck_) Ack();
    }
}

bool CUsbDisplay::Send(const std::array<uint8_t, kPayloadSize>& payload) {
    if (onReport) {
        Report report{};
        std::memcpy(report.data() + 1, payload.data(), kPayloadSize);
        onReport("->", report);
    }
    return control_.PushInput(payload.data());
}
bool CUsbDisplay::Ack() { return Send({0xFF, 0, 0, 0, 0, 0, 0, 0}); }
bool CUsbDisplay::PressRoutingKey(uint8_t code) { return Send({0xFD, code, 0, 0, 0, 0, 0, 0}); }
bool CUsbDisplay::PressFunctionKey(uint8_t code) { return Send({0xFE, code, 0, 0, 0, 0, 0, 0}); }

std::vector<Report> CUsbDisplay::Reports() const {
    std::lock_guard<std::mutex> hold(lock_);
    return reports_;
}

std::vector<CUsbDisplay::Frame> CUsbDisplay::Frames() const {
    std::lock_guard<std::mutex> hold(lock_);
    return frames_;
}

size_t CUsbDisplay::HelloCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return hellos_;
}

void CUsbDisplay::Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    reports_.clear();
    frames_.clear();
    hellos_ = 0;
}

bool CUsbDisplay::WaitFor(const std::function<bool()>& condition, DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= ms) return false;
        Sleep(5);
    }
}

double CUsbDisplay::Now() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

}  // namespace vhid
