#!/usr/bin/python3
"""Draws the program's artwork: the 32x32 16-colour icon "k9icon.ico" and
the 560x400 24-bit about background "zpxback1.bmp".

The about window ORs the bitmap onto black and writes its title at (150, 27)
in a 22-pixel font and the product line at (40, 75) in a 13-pixel font, in
light grey; that band stays dark. Below it, two machines with a stream of
bytes running from one to the other. Standard library only; the output is
the same on every run.

usage: make_artwork.py OUTPUT_DIRECTORY
"""
import math
import os
import struct
import sys

WIDTH, HEIGHT = 560, 400


def clamp(value, low=0.0, high=1.0):
    return low if value < low else high if value > high else value


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


class Canvas:
    """Floating-point RGB pixels with shapes drawn by signed distance."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.pixels = [[(0.0, 0.0, 0.0)] * width for _ in range(height)]

    def blend(self, x, y, color, alpha):
        if 0 <= x < self.width and 0 <= y < self.height and alpha > 0:
            self.pixels[y][x] = mix(self.pixels[y][x], color, clamp(alpha))

    def add(self, x, y, color, amount):
        if 0 <= x < self.width and 0 <= y < self.height and amount > 0:
            p = self.pixels[y][x]
            self.pixels[y][x] = tuple(p[i] + color[i] * amount for i in range(3))

    def shape(self, distance, box, color, alpha=1.0):
        """Covers the pixels whose centre lies inside distance <= 0, with a
        one-pixel soft edge. color may be a function of (x, y)."""
        x0, y0, x1, y1 = (int(math.floor(v)) for v in box)
        for y in range(max(0, y0 - 1), min(self.height, y1 + 2)):
            for x in range(max(0, x0 - 1), min(self.width, x1 + 2)):
                d = distance(x + 0.5, y + 0.5)
                cover = clamp(0.5 - d)
                if cover > 0:
                    c = color(x, y) if callable(color) else color
                    self.blend(x, y, c, cover * alpha)

    def glow(self, cx, cy, radius, color, strength):
        for y in range(max(0, int(cy - radius)), min(self.height, int(cy + radius) + 1)):
            for x in range(max(0, int(cx - radius)), min(self.width, int(cx + radius) + 1)):
                d = math.hypot(x + 0.5 - cx, y + 0.5 - cy) / radius
                if d < 1:
                    self.add(x, y, color, strength * (1 - d) ** 2)


def rounded_box(x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def distance(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0), max(qy, 0))
        return outside + min(max(qx, qy), 0) - r
    return distance


def segment(ax, ay, bx, by, half_width):
    def distance(x, y):
        px, py, dx, dy = x - ax, y - ay, bx - ax, by - ay
        t = clamp((px * dx + py * dy) / (dx * dx + dy * dy))
        return math.hypot(px - dx * t, py - dy * t) - half_width
    return distance


def polygon(points):
    """Signed distance to a convex polygon given clockwise on screen."""
    edges = list(zip(points, points[1:] + points[:1]))

    def distance(x, y):
        inside = max(((x - ax) * (by - ay) - (y - ay) * (bx - ax)) / math.hypot(bx - ax, by - ay)
                     for (ax, ay), (bx, by) in edges)
        if inside <= 0:
            return inside
        return min(segment(ax, ay, bx, by, 0)(x, y) for (ax, ay), (bx, by) in edges)
    return distance


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


# --- the about background ---

TOP = (6.0, 8.0, 26.0)
BOTTOM = (14.0, 26.0, 62.0)
STEEL = (92.0, 112.0, 150.0)
STEEL_DARK = (46.0, 58.0, 88.0)
SCREEN = (14.0, 34.0, 74.0)
CYAN = (70.0, 200.0, 230.0)
AMBER = (240.0, 170.0, 60.0)

# Bits of a tiny 3x5 digit font.
DIGITS = {
    "0": ["111", "101", "101", "101", "111"],
    "1": ["010", "110", "010", "010", "111"],
}


def draw_background(c):
    for y in range(HEIGHT):
        row = mix(TOP, BOTTOM, (y / (HEIGHT - 1)) ** 1.4)
        c.pixels[y] = [row] * WIDTH
    # A faint floor of perspective lines under the machines.
    horizon = 300
    for i in range(1, 9):
        y = horizon + int((i / 8) ** 1.8 * (HEIGHT - horizon - 1))
        for x in range(WIDTH):
            c.add(x, y, (40, 70, 130), 0.10 + 0.10 * i / 8)
    for k in range(-14, 15):
        x_far, x_near = WIDTH / 2 + k * 18, WIDTH / 2 + k * 70
        c.shape(segment(x_far, horizon, x_near, HEIGHT + 40, 0.35),
                (min(x_far, x_near), horizon, max(x_far, x_near), HEIGHT), (40, 70, 130), 0.35)
    # A soft light behind the stream, well below the text band.
    c.glow(280, 250, 230, (20, 60, 110), 0.55)
    # Small stars in the upper right, away from the text.
    seed = 7
    for _ in range(60):
        seed = (seed * 1103515245 + 12345) % 2 ** 31
        x = 430 + seed % 125
        seed = (seed * 1103515245 + 12345) % 2 ** 31
        y = 8 + seed % 130
        seed = (seed * 1103515245 + 12345) % 2 ** 31
        c.add(x, y, (150, 170, 220), 0.15 + (seed % 100) / 400)
    # A thin accent line under the product line.
    for x in range(40, 520):
        fade = math.sin(math.pi * (x - 40) / 480)
        c.add(x, 104, (60, 140, 200), 0.55 * fade)
        c.add(x, 105, (60, 140, 200), 0.18 * fade)


def draw_document(c, x, y, tint):
    """A page with a folded corner, 26x34, at top-left (x, y)."""
    page = polygon([(x, y), (x + 18, y), (x + 26, y + 8), (x + 26, y + 34), (x, y + 34)])
    c.shape(page, (x, y, x + 26, y + 34), tint, 0.9)
    c.shape(polygon([(x + 18, y), (x + 26, y + 8), (x + 18, y + 8)]),
            (x + 18, y, x + 26, y + 8), mix(tint, (0, 0, 0), 0.45))
    for i in range(4):
        c.shape(segment(x + 5, y + 14 + i * 5, x + 21 - (i % 2) * 5, y + 14 + i * 5, 0.8),
                (x + 4, y + 12 + i * 5, x + 22, y + 16 + i * 5), mix(tint, (0, 0, 0), 0.55))


def draw_machine(c, x, y, received):
    """A monitor on a stand with a keyboard; top-left corner at (x, y)."""
    w, h = 124, 92
    c.glow(x + w / 2, y + h / 2, 95, (30, 90, 160), 0.35)
    c.shape(rounded_box(x + 50, y + h - 2, x + 74, y + h + 18, 2), (x + 50, y + h, x + 74, y + h + 18),
            STEEL_DARK)
    c.shape(rounded_box(x + 28, y + h + 16, x + 96, y + h + 24, 4), (x + 28, y + h + 16, x + 96, y + h + 24),
            STEEL)
    c.shape(rounded_box(x, y, x + w, y + h, 8), (x, y, x + w, y + h),
            lambda px, py: mix(STEEL, STEEL_DARK, (py - y) / h))
    inner = (x + 8, y + 8, x + w - 8, y + h - 10)
    c.shape(rounded_box(*inner, 4), inner,
            lambda px, py: mix(SCREEN, (26, 64, 120), (py - inner[1]) / (inner[3] - inner[1])))
    # Screen content: a document, ticked on the receiving side.
    draw_document(c, x + 48, y + 22, (200, 215, 235))
    if received:
        c.shape(segment(x + 80, y + 52, x + 88, y + 60, 2.2), (x + 76, y + 48, x + 92, y + 64), (90, 220, 140))
        c.shape(segment(x + 88, y + 60, x + 102, y + 40, 2.2), (x + 84, y + 36, x + 106, y + 64), (90, 220, 140))
    else:
        c.shape(segment(x + 80, y + 46, x + 100, y + 46, 2.0), (x + 78, y + 42, x + 102, y + 50), AMBER)
        c.shape(polygon([(x + 98, y + 39), (x + 108, y + 46), (x + 98, y + 53)]),
                (x + 96, y + 38, x + 108, y + 54), AMBER)
    # Power light.
    c.shape(circle(x + w - 14, y + h - 5, 1.8), (x + w - 17, y + h - 8, x + w - 11, y + h - 2), (90, 220, 140))
    # Keyboard.
    kx, ky = x + 6, y + h + 32
    c.shape(polygon([(kx + 10, ky), (kx + w - 22, ky), (kx + w - 12, ky + 12), (kx, ky + 12)]),
            (kx, ky, kx + w - 12, ky + 12), STEEL_DARK)
    for row in range(2):
        for key in range(9):
            px = kx + 12 + key * 10 + row * 3
            c.shape(rounded_box(px, ky + 2 + row * 5, px + 7, ky + 5 + row * 5, 1),
                    (px, ky + 2 + row * 5, px + 7, ky + 5 + row * 5), STEEL, 0.8)


def draw_stream(c):
    """Bytes travelling from the left machine to the right one."""
    x0, x1, y = 196, 356, 262
    bits = "1011001110100101"
    for i, bit in enumerate(bits):
        t = i / (len(bits) - 1)
        bx = x0 + i * 9.5
        by = y + math.sin(t * math.pi * 2) * 10 - 8
        color = mix(AMBER, CYAN, t)
        fade = 0.35 + 0.65 * math.sin(math.pi * (0.1 + 0.8 * t))
        for row, line in enumerate(DIGITS[bit]):
            for col, on in enumerate(line):
                if on == "1":
                    px, py = int(bx) + col * 2, int(by) + row * 2
                    for dy in range(2):
                        for dx in range(2):
                            c.blend(px + dx, py + dy, color, fade)
    # The arrow under the bytes.
    c.shape(segment(x0, y + 22, x1 - 10, y + 22, 1.6), (x0 - 2, y + 19, x1, y + 25),
            lambda px, py: mix(AMBER, CYAN, (px - x0) / (x1 - x0)))
    c.shape(polygon([(x1 - 14, y + 14), (x1 + 2, y + 22), (x1 - 14, y + 30)]),
            (x1 - 14, y + 14, x1 + 2, y + 30), CYAN)
    # A padlock in the middle: the stream is scrambled.
    lx, ly = 268, y + 36
    c.shape(lambda px, py: abs(math.hypot(px - lx - 8, py - ly - 2) - 5.5) - 1.6
            if py < ly + 4 else 99, (lx, ly - 6, lx + 16, ly + 6), (190, 200, 220))
    c.shape(rounded_box(lx, ly + 3, lx + 16, ly + 15, 2), (lx, ly + 3, lx + 16, ly + 15), (190, 200, 220))
    c.shape(circle(lx + 8, ly + 9, 1.8), (lx + 5, ly + 6, lx + 11, ly + 12), STEEL_DARK)


def about_bitmap():
    c = Canvas(WIDTH, HEIGHT)
    draw_background(c)
    draw_machine(c, 60, 176, received=False)
    draw_machine(c, 376, 176, received=True)
    draw_stream(c)
    return c


def write_bmp(path, canvas):
    row_bytes = (canvas.width * 3 + 3) & ~3
    image = bytearray()
    for y in range(canvas.height - 1, -1, -1):
        row = bytearray()
        for r, g, b in canvas.pixels[y]:
            row += bytes((int(clamp(b, 0, 255) + 0.5), int(clamp(g, 0, 255) + 0.5),
                          int(clamp(r, 0, 255) + 0.5)))
        image += row + bytes(row_bytes - len(row))
    header = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 24, 0, len(image),
                         2835, 2835, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(image), 0, 0, 14 + len(header))
    with open(path, "wb") as out:
        out.write(file_header + header + image)


# --- the icon: 32x32, the 16 standard colours, with a transparency mask ---

PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
           (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
           (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
def icon_rows():
    """The icon as 32 rows of 32 palette indexes, None where transparent:
    a navy tile with two machines and an arrow of bytes between them."""
    rows = [[None] * 32 for _ in range(32)]

    def put(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                rows[y][x] = colour

    put(1, 2, 30, 29, 4)
    for x, y in ((1, 2), (30, 2), (1, 29), (30, 29), (2, 2), (1, 3), (29, 2), (30, 3),
                 (1, 28), (2, 29), (29, 29), (30, 28)):
        rows[y][x] = None
    for left in (3, 18):
        put(left, 5, left + 10, 14, 7)        # frame
        put(left + 1, 6, left + 9, 12, 6)     # screen
        put(left + 4, 7, left + 6, 11, 15)    # a page on the screen
        rows[7][left + 6] = 6
        rows[13][left + 9] = 10               # power light
        put(left + 4, 15, left + 6, 16, 8)    # stand
        put(left + 2, 17, left + 8, 17, 7)    # foot
    for x in range(4, 22, 3):
        put(x, 22, x + 1, 23, 11)             # bytes on their way
    put(22, 22, 25, 23, 14)
    for i in range(4):
        put(25 + i, 19 + i, 25 + i, 26 - i, 14)  # arrow head
    return rows


def write_ico(path):
    rows = icon_rows()
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for x in range(0, 32, 2):
            a, b = (row[x] or 0), (row[x + 1] or 0)
            xor.append((a << 4) | b)
        bits = 0
        for x in range(32):
            if row[x] is None:
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 22)
    with open(path, "wb") as out:
        out.write(directory + image)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write_ico(os.path.join(out, "k9icon.ico"))
    write_bmp(os.path.join(out, "zpxback1.bmp"), about_bitmap())
    return 0


if __name__ == "__main__":
    sys.exit(main())
