#!/usr/bin/env python3
"""Writes the loader images and the sample firmware images of this folder.

Everything here is synthetic and made by this script: the RAM loader image has
the layout and version prefix the upgrade expects but is not a working loader
(the virtual loader only looks at its first four bytes). Run it from anywhere;
the output is deterministic.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def lcg(seed, n):
    out, x = [], seed
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return out


def ti_txt(sections, eol="\r\n"):
    lines = []
    for address, data in sections:
        lines.append("@%04X" % address)
        for i in range(0, len(data), 16):
            lines.append(" ".join("%02X" % b for b in data[i:i + 16]))
    lines.append("q")
    return eol.join(lines) + eol


def vectors():
    # Fifteen interrupt handlers and the reset vector 0x4400; the same table
    # is in the virtual loader's factory image and in every sample image, so
    # the stored password keeps matching.
    words = [0x4500 + 0x10 * i for i in range(15)] + [0x4400]
    return [b for w in words for b in (w & 0xFF, w >> 8)]


def version_record(version):
    return list(b"OVX:" + version.encode() + b"\0")


def write(name, text):
    with open(os.path.join(HERE, name), "w", newline="") as f:
        f.write(text)


def main():
    banner = list(b"Orvex synthetic RAM loader image, not a working loader. ")
    first = [0x00, 0x06, 0x05, 0x34] + banner
    first += lcg(0x2500, 117 - len(first))
    second = lcg(0x2576, 2676)
    write("RAM_BSL.Text", ti_txt([(0x2500, first), (0x2576, second)]))
    write("RAM_BSL_VERSION", "00.06.05.34")
    write("password.Text", ti_txt([(0xFFE0, vectors())]))
    write("Forced_BOR.Text", ti_txt([(0x0120, [0x04, 0xA5])]))
    write("VID", "0x2047")
    write("PID", "0x200")

    os.makedirs(os.path.join(HERE, "samples"), exist_ok=True)
    write("samples/orvex_fw_2_08.txt", ti_txt([
        (0x4400, lcg(208, 300)),
        (0x5000, lcg(2080, 40)),
        (0xFF40, version_record("2.8")),
        (0xFFE0, vectors()),
        (0x10000, lcg(20800, 70)),
    ], eol="\n"))
    write("samples/orvex_fw_2_09.txt", ti_txt([
        (0x4400, lcg(209, 1100)),
        (0x49F0, lcg(2090, 40)),  # crosses the segment boundary at 0x4A00
        (0xFF40, version_record("2.9")),
        (0xFFE0, vectors()),
    ]))


if __name__ == "__main__":
    main()
