#!/usr/bin/env python3
"""Writes the benchmark's synthetic package folder, shaped like the shipped
product: by bytes 55 % executables, 18 % text, 10 % PNG images, 12 %
incompressible data and 5 % binary tables, in the package folder layout
(install-folder/, version-folder/). The same arguments give the same bytes.

    make_package.py FOLDER [--size MIB] [--files N] [--quick KIB]

--quick keeps the first KIB kibibytes of every file and fills the rest with
zero bytes: the same layout and file sizes, packed many times faster, for
packages too large to pack the real mix in reasonable time.
"""
import argparse
import os
import random
import struct
import sys
import zlib

VERSION = "7.19.02N"
WINE_MODULES = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
TEXT_SOURCES = "/usr/include/boost"

# kind: (share of the bytes, share of the files)
MIX = {
    "exe": (0.55, 0.36),
    "text": (0.18, 0.30),
    "png": (0.10, 0.18),
    "raw": (0.12, 0.06),
    "table": (0.05, 0.10),
}


def module_paths():
    names = sorted(n for n in os.listdir(WINE_MODULES) if n.endswith((".dll", ".exe")))
    paths = [os.path.join(WINE_MODULES, n) for n in names]
    return [p for p in paths if os.path.getsize(p) > 40 * 1024]


def text_corpus(limit):
    parts, size = [], 0
    for folder, dirs, files in os.walk(TEXT_SOURCES):
        dirs.sort()
        for name in sorted(files):
            if name.endswith(".hpp"):
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                parts.append(data)
                size += len(data)
                if size >= limit:
                    return b"".join(parts)
    return b"".join(parts)


def repeat_to(data, offset, size):
    """`size` bytes of `data` from `offset` on, wrapping around."""
    out = bytearray()
    while len(out) < size:
        out += data[offset:offset + size - len(out)]
        offset = 0
    return bytes(out)


# SHADES[base] maps a random byte to base plus its low six bits.
SHADES = [bytes((base + (b & 0x3F)) & 0xFF for b in range(256)) for base in range(256)]


def png(rng, size):
    """A real PNG picture (noisy gradient) of about `size` bytes: compressed
    data, as the product's images are."""
    width = 256
    # Noise of 6 bits per byte deflates to about 0.8 of its size.
    height = max(1, int(size / (width * 3 * 0.85)))
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        rows += rng.randbytes(width * 3).translate(SHADES[(y * 255) // height])
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    data = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b""))
    return data[:size] if len(data) > size else data + b"\0" * (size - len(data))


def table(rng, size, number):
    """Fixed-width records: ascending ids, small codes, prices and names from a
    small vocabulary, as lookup tables and indexes hold."""
    words = [b"alpha", b"beta", b"gamma", b"delta", b"orvanta", b"quorix", b"velpane", b"cell",
             b"page", b"layer", b"shape", b"style"]
    out = bytearray()
    row = number * 100000
    while len(out) < size:
        name = rng.choice(words) + b"_" + str(rng.randrange(1000)).encode()
        out += struct.pack("<IHHf16s", row, rng.randrange(64), rng.randrange(4),
                           rng.randrange(100000) / 100.0, name)
        row += 1
    return bytes(out[:size])


def sizes(rng, total, count):
    """`count` sizes between 1/4 and 7/4 of the average, adding up to `total`."""
    average = total / count
    raw = [average * (0.25 + 1.5 * rng.random()) for _ in range(count)]
    scale = total / sum(raw)
    result = [int(s * scale) for s in raw]
    result[-1] += total - sum(result)
    return result


def filled(data, size):
    """`data` followed by zero bytes up to `size`."""
    return data + bytes(size - len(data))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--size", type=float, default=360.0, help="unpacked size in MiB")
    parser.add_argument("--files", type=int, default=1476)
    parser.add_argument("--quick", type=int, default=0, help="keep KIB kibibytes of each file, zeros after")
    args = parser.parse_args()
    data_limit = args.quick * 1024 or None

    rng = random.Random(4242)
    total = int(args.size * 1024 * 1024)
    install = os.path.join(args.folder, "install-folder")
    version = os.path.join(args.folder, "version-folder")
    modules = module_paths()
    if not modules:
        sys.exit("no Wine x64 modules in " + WINE_MODULES)
    module_data = {}

    def module(i):
        path = modules[i % len(modules)]
        if path not in module_data:
            with open(path, "rb") as f:
                module_data[path] = f.read()
        return module_data[path]

    # The installer's own items, which every package has.
    write(os.path.join(install, "Orvanta.ini"), ("[Common]\r\nVersion=%s\r\n" % VERSION).encode())
    write(os.path.join(version, "configurations", "staticconfig.xml"),
          ('<staticconfigs><item id="OVVersionString">%s</item></staticconfigs>\n' % VERSION).encode())
    write(os.path.join(version, "setup.xml"), b"<setup><install/><uninstall/></setup>\n")
    write(os.path.join(version, "zero.bin"), b"")
    fixed = 4

    corpus = text_corpus(8 * 1024 * 1024)
    files_left = max(len(MIX), args.files - fixed)
    for kind, (byte_share, file_share) in MIX.items():
        count = max(1, int(round(files_left * file_share)))
        for i, full_size in enumerate(sizes(rng, int(total * byte_share), count)):
            size = min(full_size, data_limit or full_size)
            if kind == "exe":
                data = repeat_to(module(i), 0, size)
                if i < 3:
                    name = ["Orvanta.exe", "OrvantaTask.exe", "Uninstall.exe"][i]
                    write(os.path.join(install, name), filled(data, full_size))
                    continue
                folder = "plugins" if i % 3 == 2 else "bin"
                path = os.path.join(version, folder, "module%d.%s" % (i, "exe" if i % 10 == 0 else "dll"))
            elif kind == "text":
                data = repeat_to(corpus, rng.randrange(len(corpus)), size)
                path = os.path.join(version, "res", "text", "strings%d.xml" % i)
            elif kind == "png":
                data = png(rng, size)
                path = os.path.join(version, "res", "images", "image%d.png" % i)
            elif kind == "raw":
                data = rng.randbytes(size)
                path = os.path.join(version, "data", "media%d.bin" % i)
            else:
                data = table(rng, size, i)
                path = os.path.join(version, "tables", "table%d.dat" % i)
            write(path, filled(data, full_size))


if __name__ == "__main__":
    main()
