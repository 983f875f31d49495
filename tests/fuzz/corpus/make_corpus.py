#!/usr/bin/env python3
"""Writes the fuzzers' seeds: real frames with valid checksums, which random
bytes almost never forge. Run from this folder after changing it."""


def frame(command, data=b""):
    total = (0x02 + command + len(data) + 0x03 + sum(data)) & 0xFFFF ^ 0xAA55
    return bytes([1, 2, command, len(data), 3]) + bytes(data) + bytes([total & 0xFF, total >> 8])


serial = {
    "function_key": frame(0x10, [5]),
    "routing_key": frame(0x11, [0x83]),
    "character": frame(0x13, [0x41, 0x00]),
    "special_key": frame(0x13, [0x05, 0x01]),
    "scan_code": frame(0x14, [0x1C, 0x00]),
    "identity": frame(0x25, [40, 0, 0, 0, 5, 7]),
    "display": frame(0x00, range(42)),
    "identify_ack_done": frame(0x24) + frame(0x7F) + frame(0x26, [0]),
    "longest": frame(0x42, [0xFF] * 255),
    # broken starts and a bad checksum before good frames
    "noise_then_keys": bytes([0xFF, 1, 1, 2, 0x10, 1, 9]) + frame(0x10, [5])[:-1] + bytes([0])
    + frame(0x11, [2]) + frame(0x7F),
}


def report(*payload):
    return bytes([0] + list(payload) + [0] * (8 - len(payload)))


hid = {
    "keys_and_ack": report(0xFE, 5) + report(0xFD, 39) + report(0xFF),
    "hello_answer": report(0xFB, 0xAA, 0x55, 1, 2),
}


def codes(*typed):
    """The keyboard fuzzer reads (code, Caps Lock) pairs from the end backwards."""
    data = b""
    for code, caps in typed:
        data = bytes([caps, code & 0xFF, code >> 8]) + data
    return data


keys = {
    "special_keys": codes((256, 0), (297, 1), (382, 1), (0x41, 1)),
    "scan_prefixes": codes((0xE0, 0), (0x75, 0), (0xF0, 0), (0x1C, 0), (0xE0, 0), (0xF0, 0), (0x6B, 1)),
}
for kind, seeds in (("serial", serial), ("hid", hid), ("keys", keys)):
    for name, data in seeds.items():
        with open(f"{kind}/{name}.bin", "wb") as out:
            out.write(data)
