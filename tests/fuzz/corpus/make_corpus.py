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
for name, data in serial.items():
    with open(f"serial/{name}.bin", "wb") as out:
        out.write(data)
