#!/usr/bin/env python3
"""Draws Kavelor's pictures into the given folder, for Kavelor.rc to bind into the program.

Kavelor.ico               the program and tray icon: a USB stick with a speed arrow (16 to 64 pixels, for
                          100 % to 200 %)
OverlayDeviceOff.ico      list-view overlay: the speed-up is off on the device (a red bar)
OverlayStorageOff.ico     list-view overlay: the storage part lost the speed-up (an orange mark)
Toolbar.bmp               five 24 x 24 toolbar images (enable, disable, properties, version, help) on
                          magenta, the colour the toolbar makes transparent
Toolbar48.bmp             the same at 48 x 48, for the larger DPIs
About.bmp                 the picture of the version dialog (64 x 64)

Only the standard library is used: the files are written byte by byte in the BMP and ICO layouts.
"""

import struct
import sys
from pathlib import Path

MAGENTA = (255, 0, 255, 255)
CLEAR = (0, 0, 0, 0)


class Canvas:
    def __init__(self, width, height, background):
        self.width = width
        self.height = height
        self.pixels = [[background for _ in range(width)] for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.put(x, y, colour)

    def circle(self, cx, cy, radius, colour):
        for y in range(int(cy - radius) - 1, int(cy + radius) + 2):
            for x in range(int(cx - radius) - 1, int(cx + radius) + 2):
                if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= radius * radius:
                    self.put(x, y, colour)

    def line(self, x0, y0, x1, y1, width, colour):
        steps = int(max(abs(x1 - x0), abs(y1 - y0)) * 2) + 1
        for step in range(steps + 1):
            t = step / steps
            self.circle(x0 + (x1 - x0) * t, y0 + (y1 - y0) * t, width / 2, colour)

    def outline(self, x0, y0, x1, y1, colour):
        self.rect(x0, y0, x1, y0 + 1, colour)
        self.rect(x0, y1 - 1, x1, y1, colour)
        self.rect(x0, y0, x0 + 1, y1, colour)
        self.rect(x1 - 1, y0, x1, y1, colour)


def stick(canvas, scale, dx=0, dy=0):
    """A USB stick lying diagonally is hard to read small; this one stands upright, connector on top."""
    def r(x0, y0, x1, y1, colour):
        canvas.rect(dx + int(x0 * scale), dy + int(y0 * scale), dx + int(x1 * scale), dy + int(y1 * scale),
                    colour)

    r(10, 1, 22, 10, (190, 190, 198, 255))  # connector
    r(12, 3, 15, 6, (90, 90, 100, 255))
    r(17, 3, 20, 6, (90, 90, 100, 255))
    r(7, 10, 25, 31, (30, 90, 200, 255))  # body
    r(8, 11, 24, 12, (120, 170, 240, 255))
    r(14, 24, 18, 27, (255, 255, 255, 255))  # activity light


def speed_arrow(canvas, scale, dx=0, dy=0):
    s = scale
    canvas.line(dx + 4 * s, dy + 22 * s, dx + 15 * s, dy + 14 * s, max(2, 3 * s), (250, 200, 30, 255))
    canvas.line(dx + 10 * s, dy + 14 * s, dx + 15 * s, dy + 14 * s, max(2, 3 * s), (250, 200, 30, 255))
    canvas.line(dx + 15 * s, dy + 14 * s, dx + 15 * s, dy + 19 * s, max(2, 3 * s), (250, 200, 30, 255))


def app_icon(size):
    canvas = Canvas(size, size, CLEAR)
    scale = size / 32
    stick(canvas, scale)
    speed_arrow(canvas, scale)
    return canvas


def overlay_device_off(size):
    canvas = Canvas(size, size, CLEAR)
    s = size / 32
    canvas.circle(8 * s, size - 8 * s, 7 * s, (255, 255, 255, 255))
    canvas.circle(8 * s, size - 8 * s, 6 * s, (210, 30, 30, 255))
    canvas.rect(int(4 * s), int(size - 9 * s), int(12 * s), int(size - 7 * s), (255, 255, 255, 255))
    return canvas


def overlay_storage_off(size):
    canvas = Canvas(size, size, CLEAR)
    s = size / 32
    canvas.circle(8 * s, size - 8 * s, 7 * s, (255, 255, 255, 255))
    canvas.circle(8 * s, size - 8 * s, 6 * s, (240, 140, 20, 255))
    canvas.rect(int(7 * s), int(size - 13 * s), int(9 * s), int(size - 7 * s), (255, 255, 255, 255))
    canvas.rect(int(7 * s), int(size - 5 * s), int(9 * s), int(size - 3 * s), (255, 255, 255, 255))
    return canvas


def toolbar(size):
    """The five pictures drawn for `size` pixels (24 at 96 DPI; the 48-pixel strip serves the larger DPIs,
    shrunk rather than blown up)."""
    canvas = Canvas(5 * size, size, MAGENTA)
    k = size / 24
    white = (255, 255, 255, 255)

    def rect(x0, y0, x1, y1, colour):
        canvas.rect(int(x0 * k), int(y0 * k), int(x1 * k), int(y1 * k), colour)

    def line(x0, y0, x1, y1, width, colour):
        canvas.line(x0 * k, y0 * k, x1 * k, y1 * k, width * k, colour)

    # Enable: a green disc with a check mark.
    canvas.circle(12 * k, 12 * k, 10 * k, (40, 160, 60, 255))
    line(7, 12, 11, 16, 2.5, white)
    line(11, 16, 17, 8, 2.5, white)
    # Disable: a red disc with a bar.
    canvas.circle(36 * k, 12 * k, 10 * k, (200, 40, 40, 255))
    rect(30, 11, 43, 14, white)
    # Properties: a sheet with lines.
    rect(52, 2, 68, 22, (250, 250, 250, 255))
    canvas.outline(int(52 * k), int(2 * k), int(68 * k), int(22 * k), (80, 80, 90, 255))
    for y in (6, 10, 14, 18):
        rect(55, y, 65, y + 1, (60, 100, 180, 255))
    # Version information: a blue disc with an "i".
    canvas.circle(84 * k, 12 * k, 10 * k, (40, 100, 200, 255))
    rect(83, 6, 86, 9, white)
    rect(83, 10, 86, 18, white)
    # Help: a purple disc with a question mark.
    canvas.circle(108 * k, 12 * k, 10 * k, (120, 60, 170, 255))
    line(104.5, 9, 106.5, 6.5, 2, white)
    line(106.5, 6.5, 110, 6.5, 2, white)
    line(110, 6.5, 111.5, 9, 2, white)
    line(111.5, 9, 108, 12.5, 2, white)
    rect(107, 13, 109, 15, white)
    rect(107, 16, 109, 18, white)
    return canvas


def about_picture():
    canvas = Canvas(64, 64, (240, 240, 240, 255))
    stick(canvas, 2)
    speed_arrow(canvas, 2)
    return canvas


def bmp_bytes(canvas):
    row_bytes = (canvas.width * 3 + 3) & ~3
    image = bytearray()
    for y in range(canvas.height - 1, -1, -1):
        row = bytearray()
        for r, g, b, _ in canvas.pixels[y]:
            row += bytes((b, g, r))
        image += row + bytes(row_bytes - len(row))
    header = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 24, 0, len(image), 2835, 2835, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(image), 0, 0, 14 + len(header))
    return file_header + header + image


def icon_image(canvas):
    colour = bytearray()
    mask = bytearray()
    mask_row_bytes = ((canvas.width + 31) // 32) * 4
    for y in range(canvas.height - 1, -1, -1):
        bits = 0
        row = bytearray()
        for x, (r, g, b, a) in enumerate(canvas.pixels[y]):
            colour += bytes((b, g, r, a))
            bits = (bits << 1) | (1 if a == 0 else 0)
            if x % 8 == 7:
                row.append(bits)
                bits = 0
        mask += row + bytes(mask_row_bytes - len(row))
    header = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height * 2, 1, 32, 0, len(colour) + len(mask), 0,
                         0, 0, 0)
    return header + colour + mask


def ico_bytes(canvases):
    images = [icon_image(canvas) for canvas in canvases]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for canvas, image in zip(canvases, images):
        directory += struct.pack("<BBBBHHII", canvas.width % 256, canvas.height % 256, 0, 0, 1, 32, len(image),
                                 offset)
        offset += len(image)
    return directory + b"".join(images)


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    # The sizes Windows asks for at 100 % to 200 %: small icons of 16 to 32 pixels, large ones of 32 to 64.
    (out / "Kavelor.ico").write_bytes(ico_bytes([app_icon(n) for n in (64, 48, 40, 32, 24, 20, 16)]))
    (out / "OverlayDeviceOff.ico").write_bytes(ico_bytes([overlay_device_off(n) for n in (64, 48, 40, 32, 16)]))
    (out / "OverlayStorageOff.ico").write_bytes(ico_bytes([overlay_storage_off(n) for n in (64, 48, 40, 32, 16)]))
    (out / "Toolbar.bmp").write_bytes(bmp_bytes(toolbar(24)))
    (out / "Toolbar48.bmp").write_bytes(bmp_bytes(toolbar(48)))
    (out / "About.bmp").write_bytes(bmp_bytes(about_picture()))


if __name__ == "__main__":
    main()
