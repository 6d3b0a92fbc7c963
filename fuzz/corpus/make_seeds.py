#!/usr/bin/env python3
"""Writes the seed inputs of frame_fuzz, status_fuzz, restore_fuzz and
loader_fuzz (the INI and TI-TXT seeds are plain files kept by hand). Each seed
is laid out the way its fuzz target reads its bytes; see the target's source."""

import os

HERE = os.path.dirname(os.path.abspath(__file__))


def write(folder, name, data):
    os.makedirs(os.path.join(HERE, folder), exist_ok=True)
    with open(os.path.join(HERE, folder, name), "wb") as f:
        f.write(bytes(data))


def hexdigits(v):
    return [ord(c) for c in "%02X" % v]


def frame(cmd, payload, result=0):
    n = len(payload) + 1
    body = [0x02] + hexdigits(cmd) + hexdigits(n) + [result] + list(payload) + [0x03]
    s = 0
    for b in body:
        s ^= b
    r = [0x3F, 0x40] + body + [s]
    return r + [0] * (64 - len(r))


def raw(report):
    # Report read whole: kind 3 with (63 << 3) gives a 64-byte read.
    return [0xFB] + list(report)


STATUS = [5, 5, 1, 2, 3, 0] + list(range(20)) + list(b"2.07\0") + list(b"OVX000123456")

# --- frame_fuzz: command, length, payload, time-out, write, stale count, reports
def request(cmd, payload=(), stale=()):
    return [cmd, len(payload)] + list(payload) + [63, 0, len(stale)] + [b for s in stale for b in s]


write("frame", "status_ok", request(1) + raw(frame(1, STATUS)))
write("frame", "set_with_markers", request(2, [7]) + [2, 0, 2] + raw(frame(2, [])))
write("frame", "stale_then_answer",
      request(4, [0], stale=[raw(frame(1, STATUS))]) + raw(frame(1, STATUS)) + raw(frame(4, [])))
write("frame", "refusal", request(2, [10]) + raw([0x3F, 0x40, 0x0F] + [0] * 61))
write("frame", "bad_checksum", request(9) + [0x46, 0, 9, 0x5A])
write("frame", "bad_size", request(9) + raw([0x3F, 0x41] + frame(9, [])[2:]))
lower = frame(1, STATUS)
lower[5:7] = [ord(c) for c in "%02x" % (len(STATUS) + 1)]
write("frame", "lower_case_length", request(1) + raw(lower))
write("frame", "nonzero_result", request(3, [1]) + raw(frame(3, [], result=1)))
write("frame", "read_error", request(1) + [1])
write("frame", "silence", request(1))
write("frame", "too_long", [5, 56] + [0] * 56 + [63, 0, 0])
write("frame", "generated_frames", request(5, [0] * 32) + [6, 0, 0x86, 1, 3, 9, 9, 9, 6, 0])

# --- status_fuzz: the payload itself
write("status", "type0", STATUS)
write("status", "type7", [1, 2, 0, 6, 9, 7] + list(range(32)) + list(b"2.1\0") + list(b"OVX000999888"))
write("status", "type5", [9, 9, 1, 1, 0, 5] + list(range(24)) + list(b"3\0") + list(b"ABCDEFGHIJKL"))
write("status", "cut", STATUS[:30])
write("status", "no_nul", STATUS[:26] + list(b"2.07.OVX000123456"))
write("status", "empty_version", [0] * 26 + [0] + list(b"000000000000"))

# --- restore_fuzz: refused request, number text, then the file
def config(values, header="[appSettings]"):
    lines = [" " + header]
    for k, v in values:
        lines.append(" %s=%s" % (k, v))
    return "\r\n".join(lines).encode() + b"\r\n"


TABLE = ",".join(str(x) for x in [0, 30, 0, 31, 225, 32, 0, 79, 224, 80, 0, 40, 231, 255, 0, 4, 0, 5, 0, 6]) + ","
GOOD = [("SerialNumber", "OVX000123456"), ("Options", "6"), ("FirmwareFile", ""),
        ("CodeTableValues", TABLE), ("BuzzerPeriod", "3"), ("Buzzer", "0"),
        ("LedColour", "1"), ("LedBrightness", "8"), ("KeypadLayout", "2"), ("FirstUp", "Yes")]


def restore(refuse, number, values, header="[appSettings]"):
    return [refuse, len(number)] + list(number.encode()) + list(config(values, header))


def replaced(key, value):
    return [(k, value if k == key else v) for k, v in GOOD]


write("restore", "restored", restore(0, " -42 ", GOOD))
write("restore", "table_refused", restore(4, "+7", GOOD))
write("restore", "factory_reset_refused", restore(2, "0", GOOD))
write("restore", "write_defaults_refused", restore(9, "2147483647", GOOD))
write("restore", "not_saved", restore(0, "-2147483648", replaced("FirstUp", "No")))
write("restore", "bad_value", restore(0, "2147483648", replaced("LedBrightness", "abc")))
write("restore", "short_table", restore(0, "1 2", replaced("CodeTableValues", "1,2,3")))
write("restore", "layout_without_table",
      restore(0, "\t9\n", [(k, v) for k, v in replaced("KeypadLayout", "7") if k != "CodeTableValues"]))
write("restore", "broken_header", restore(0, "", GOOD, header="[appSettings"))
write("restore", "big_period", restore(0, "-", replaced("BuzzerPeriod", "255")))

# --- loader_fuzz: per command a choice, the write mode, its arguments, then
# the stale count and the replies
OK = [2, 1]                       # message reply 0x3B, code 0
PASSWORD_ERROR = [0x42, 1, 5]     # message reply 0x3B, code 5
VERSION = [0x62, 4, 0, 6, 5, 0x34]
CRC = [0x62, 2, 0x34, 0x12]
image = list(range(100))
write("loader", "password_ok", [0, 0, 0] + OK)
write("loader", "password_error", [0, 0, 0] + PASSWORD_ERROR)
write("loader", "version", [1, 0, 0] + VERSION)
write("loader", "erase_and_crc", [2, 0, 0xFF, 0xFF, 0, 0] + OK + [3, 0, 0, 0x44, 0, 0, 0x10, 0, 0] + CRC)
write("loader", "download_acknowledged", [4, 0, 0, 0x25, 0, 99] + image + [1] + [0x3F, 2, 0x3B, 0] + [0] * 60 + OK + OK)
write("loader", "download_fast_and_load_pc", [5, 0, 0, 0x25, 0, 99] + image + [0] + [6, 0, 4, 0x25, 0, 0])
write("loader", "reconnect_absent", [7, 0, 0, 0] + [0, 0, 0] + OK)
write("loader", "timeout_and_io", [0, 0, 0, 0] + [1, 0, 0, 1] + [0, 0xFF, 0] + OK + [1, 0xFE, 0] + VERSION)
write("loader", "raw_replies", [1, 0, 0, 0xF8] + [0x3F, 5, 0x3A, 1, 2, 3, 4] + [0] * 57 + [0, 0, 0, 0x48] + [0x3F, 63] + [0] * 62)
