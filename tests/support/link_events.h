// An ILinkEvents that writes down what a link reported, in order, as text
// with the value in hex ("function 5", "routing 83", "character 129",
// "scan 11C", "lost"), and hands the link the cell image the test sets. A
// test can put the port's writes into the same log to see what came first.
#ifndef BRL_LINK_EVENTS_H
#define BRL_LINK_EVENTS_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "device/link.h"
#include "device/protocol.h"

struct CRecordingLinkEvents : ILinkEvents {
    std::vector<std::string> log;
    uint8_t image[protocol::kFrameCells] = {};

    void OnFunctionKey(uint8_t code) override { Add("function", code); }
    void OnRoutingKey(uint8_t code) override { Add("routing", code); }
    void OnCellKey(uint8_t cell) override { Add("cell", cell); }
    void OnCharacter(uint16_t code) override { Add("character", code); }
    void OnScanCode(uint16_t code) override { Add("scan", code); }
    void OnLost() override { log.push_back("lost"); }
    const uint8_t* CellImage() override { return image; }

    void Add(const char* what, unsigned value) {
        char text[32];
        std::snprintf(text, sizeof text, "%s %X", what, value);
        log.push_back(text);
        if (onKey) onKey();
    }
    std::function<void()> onKey;  // the owner's reaction inside a key's event, e.g. closing the link
};

#endif
