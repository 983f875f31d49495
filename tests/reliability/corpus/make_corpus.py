#!/usr/bin/env python3
"""Writes the stored serial streams that reliability_tests replays on every run.

Each stream is fed byte by byte into a fresh receiver. expected.txt holds,
per stream, how many acknowledgements the driver must write (one per valid frame
received, none for the display's own 0x7F) and the receive state after the last
byte, named by what the receiver waits for next. The expectations below are
worked out by hand from the wire format
(01 02 CMD LEN 03 DATA CHK-low CHK-high, checksum = 16-bit sum of 02, CMD, LEN,
03 and the data, XOR AA55; a byte that breaks SOH-STX or ETX drops the frame and
the receiver waits for the next 01). Run it from this directory to regenerate.
"""
import os

def frame(cmd, data=b""):
    s = (0x02 + cmd + len(data) + 0x03 + sum(data)) & 0xFFFF
    s ^= 0xAA55
    return bytes([0x01, 0x02, cmd, len(data), 0x03]) + bytes(data) + bytes([s & 0xFF, s >> 8])

def checksum_of(cmd, data):
    f = frame(cmd, data)
    return f[-2] | (f[-1] << 8)

KEY = frame(0x10, b"\x05")                   # function key 5: 01 02 10 01 03 05 4E AA
assert KEY == bytes.fromhex("0102100103054EAA")
ACK = frame(0x7F)                             # 01 02 7F 00 03 D1 AA
assert ACK == bytes.fromhex("01027F000303D1AA".replace("0303", "03"))

STATES = ["Idle", "Stx", "Command", "Length", "Etx", "Data", "ChecksumLow", "ChecksumHigh"]
streams = []  # (name, bytes, acks, final state, why)

def add(name, data, acks, state, why):
    streams.append((name, bytes(data), acks, state, why))

add("function_key", KEY, 1, 0, "one valid frame, acknowledged")

bad = bytearray(KEY); bad[6] ^= 0xFF
add("bad_checksum_then_frame", bytes(bad) + KEY, 1, 0,
    "the broken frame is dropped silently; the next one is taken")

add("soh_pair_loses_frame", b"\x01" + KEY, 0, 0,
    "01 01: the second 01 in the STX position drops the frame; 10 01 03 then breaks at ETX")

add("soh_triple_keeps_frame", b"\x01\x01" + KEY, 1, 0,
    "01 01 01 02: the third 01 starts over and the frame follows intact")

add("len0_unknown_command", frame(0x55), 1, 0,
    "a frame without data goes from ETX straight to its checksum; unknown commands are acknowledged")

big = frame(0xFF, b"\xFF" * 255)
assert checksum_of(0xFF, b"\xFF" * 255) == ((0x02 + 0xFF + 0xFF + 0x03 + 255 * 0xFF) & 0xFFFF) ^ 0xAA55
add("len255_checksum_wraps", big, 1, 0,
    "255 data bytes of FF with command FF: the 16-bit sum wraps (65540 -> 4)")

add("display_ack_not_acknowledged", ACK, 0, 0, "an acknowledgement is never acknowledged")

add("bad_etx_then_frame", bytes.fromhex("0102100104054EAA") + KEY, 1, 0,
    "04 where ETX belongs drops the first frame; its tail holds no 01")

# A header announcing 200 data bytes swallows what follows as data.
head = bytes.fromhex("010210C803") + bytes(range(10, 20))
swallowed = head + KEY + bytes(190) + KEY
tail_sum = (0x02 + 0x10 + 0xC8 + 0x03 + sum(range(10, 20)) + sum(KEY) + 0) & 0xFFFF
assert (tail_sum ^ 0xAA55) != 0x0000  # the zero checksum bytes do not match
add("long_header_swallows_next_frame", swallowed, 1, 0,
    "LEN 200 with 10 bytes sent: the next frame and 182 zeros are its data, two zeros its (wrong) "
    "checksum; only the frame after the zeros is taken")

add("soh_stx_inside_data", frame(0x11, b"\x01") + frame(0x25, bytes([40, 1, 2, 3, 5, 7])), 2, 0,
    "01 and 02 as data bytes are data, not a new frame")

# A routing key whose checksum low byte is 01, glued to the next frame.
for code in range(256):
    f = frame(0x11, bytes([code]))
    if f[-2] == 0x01:
        break
assert f[-2] == 0x01
add("checksum_byte_is_soh", f + KEY, 2, 0, "a checksum byte equal to SOH is a checksum byte")

add("ack_then_key_glued", ACK + KEY, 1, 0, "the display's ack is taken without reply, the key is acknowledged")

cut = b"".join(KEY[:k] + KEY + KEY for k in range(1, 8))
add("cut_at_every_state", cut, 7, 0,
    "a frame cut after 1..7 bytes takes the next frame down with it (as CMD/LEN/data/checksum or at a "
    "framing byte); the frame after that is taken each time")

add("ends_inside_frame", KEY + bytes.fromhex("010210"), 1, 3, "the stream ends after CMD: the receiver waits for LEN")

noise = bytes((i * 37 + 11) % 256 for i in range(600) if (i * 37 + 11) % 256 != 0x01)
add("noise_without_soh_then_frame", noise + KEY, 1, 0, "bytes without 01 leave the receiver idle")

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "expected.txt"), "w") as out:
    out.write("# stream  acknowledgements  final-state (the decoder's, by name)  (written by make_corpus.py)\n")
    for name, data, acks, state, why in streams:
        with open(os.path.join(here, name + ".bin"), "wb") as f:
            f.write(data)
        out.write(f"{name}.bin {acks} {STATES[state]}  # {why}\n")
print(f"{len(streams)} streams")
