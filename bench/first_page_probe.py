#!/usr/bin/env python3
"""Times a program's first page from outside, on an X display.

Starts COMMAND and watches a rectangle of the display (where the window will
be: the programs centre their windows) by reading its pixels with XGetImage
every few milliseconds. Prints one line of milliseconds since the start:

  first=  the first picture that differs from the display before the start
          (the first frame of the page, or of its show animation; 0.3 % of
          the rectangle: the first 50-pixel frame of a zoom)
  shown=  the last change of the picture before it stayed as it was for
          100 ms (the page fully shown, after any show animation)
  answer= the first click answered: once the page is shown, a click every
          100 ms at CLICK, 6 pixels left and right of it by turns (a button
          whose answer changes 8 % of the rectangle or more: a message box,
          a closing window), until the picture changes that much

The program is killed afterwards (a minimised window stays) unless it ended.

  first_page_probe.py --rect X,Y,W,H --click X,Y [--timeout S] -- COMMAND...
"""
import argparse
import ctypes
import ctypes.util
import os
import signal
import subprocess
import sys
import time

x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XGetImage.restype = ctypes.c_void_p
x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                          ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]

x11.XFree.argtypes = [ctypes.c_void_p]


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_ubyte)), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]


ALL_PLANES = 0xFFFFFFFF
Z_PIXMAP = 2
STEP = 8  # grid of every 8th pixel in both directions


def grab(display, root, rect):
    """The rectangle's pixels on a grid, as bytes."""
    x, y, w, h = rect
    image = x11.XGetImage(display, root, x, y, w, h, ALL_PLANES, Z_PIXMAP)
    if not image:
        return b""
    img = XImage.from_address(image)
    raw = ctypes.string_at(img.data, img.bytes_per_line * img.height)
    line = img.bytes_per_line
    grid = b"".join(raw[r * line:(r + 1) * line][0::4 * STEP] for r in range(0, h, STEP))
    x11.XFree(img.data)
    x11.XFree(image)
    return grid


def changed_fraction(a, b):
    if not a or len(a) != len(b):
        return 1.0
    return sum(1 for p, q in zip(a, b) if p != q) / len(a)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rect", required=True)
    parser.add_argument("--click", required=True)
    parser.add_argument("--timeout", type=float, default=20)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    rect = tuple(int(v) for v in args.rect.split(","))
    click = tuple(int(v) for v in args.click.split(","))
    clicks = 0
    command = args.command[1:] if args.command[:1] == ["--"] else args.command

    display = x11.XOpenDisplay(None)
    if not display:
        sys.exit("no display")
    root = x11.XDefaultRootWindow(display)
    before = grab(display, root, rect)
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    ms = lambda t: int((t - start) * 1000)
    first = shown = answer = None
    most = 0.0  # the largest share of the rectangle the window covered
    last_grid, last_change = before, start
    stable = None  # the picture of the shown page, once it stayed for 100 ms
    next_click = 0.0
    while time.monotonic() - start < args.timeout:
        now = time.monotonic()
        grid = grab(display, root, rect)
        changed = changed_fraction(grid, before)
        most = max(most, changed)
        if first is None and changed > 0.003:
            first = now
        if changed_fraction(grid, last_grid) > 0.003:
            last_change = now
        last_grid = grid
        if first is not None and stable is None and most > 0.2 and now - last_change >= 0.1:
            stable, shown = grid, last_change
        if stable is not None:
            if changed_fraction(grid, stable) > 0.08:
                answer = now
                break
            if now >= next_click:
                # 12 pixels apart, one click after the other: two clicks at
                # one spot within the double-click time would make the
                # second a double click, which a button does not take.
                clicks += 1
                x, y = click
                subprocess.run(["xdotool", "mousemove", str(x + (6 if clicks % 2 else -6)), str(y), "sleep", "0.03",
                                "click", "1"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                next_click = time.monotonic() + 0.1
        time.sleep(0.002)
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()
    fmt = lambda t: str(ms(t)) if t is not None else "-"
    print("first=%s shown=%s answer=%s" % (fmt(first), fmt(shown), fmt(answer)))


if __name__ == "__main__":
    main()
