#!/usr/bin/env python3
"""Regenerates the pictures of GPS Fennik in src/resources/art.

    python3 tools/make_art.py            # writes splash.bmp, banner.bmp, wizard.bmp, GpsFennik.ico
    python3 tools/make_art.py --check    # only checks the committed files

The vector drawing and the text are rendered by ImageMagick's `convert`
(Debian: imagemagick, fonts-dejavu-core). The BMP and ICO files themselves are
written here byte by byte, so their formats never depend on the ImageMagick
version: 24-bit BI_RGB bitmaps, and an icon with a 32x32 24-bit image and a
16x16 image of 256 colours, then 20 to 64 pixel images of 32 bits with alpha
and a 256-pixel PNG, whose rims keep 3:1 against dark and light taskbars. The outputs are committed; the build does not
need this script or its tools.
"""

import math
import os
import random
import struct
import subprocess
import sys
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ART_DIR = os.path.join(ROOT, "src", "resources", "art")

SPLASH_SIZE = (489, 281)
BANNER_SIZE = (407, 112)
WIZARD_SIZE = (164, 314)  # the setup's welcome and finish pages

FONT_BOLD = "DejaVu-Sans-Bold"

# House colours.
NAVY_DEEP = "#06142b"
NAVY = "#0c2d5c"
BLUE_SKY = "#1b5fa8"
OCEAN_LIGHT = (84, 178, 240)
OCEAN_DARK = (9, 52, 110)
GRID = "#bfe6ff"
PIN_RED = "#f0522d"
PIN_DARK = "#8e2411"
GOLD = "#f4c24d"
GOLD_DARK = "#7d5a12"
PANEL = "#2456b4"
PANEL_LINE = "#a9ccff"
TAGLINE = "#a8d4ff"


def f(v):
    """A coordinate for MVG: short and locale independent."""
    return ("%.2f" % v).rstrip("0").rstrip(".")


def pt(x, y):
    return f(x) + "," + f(y)


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def hexrgb(c):
    return "#%02x%02x%02x" % c


# ---- drawing pieces (MVG text) ---------------------------------------------


def stars(width, height, count, seed, avoid=None, clear=()):
    """Small stars scattered deterministically; `avoid` is a disc (cx, cy, r)
    and `clear` a list of rectangles (x0, y0, x1, y1) to leave free."""
    rnd = random.Random(seed)
    out = []
    for _ in range(count):
        x = rnd.uniform(0, width)
        y = rnd.uniform(0, height)
        r = rnd.choice((0.5, 0.6, 0.7, 0.9, 1.1))
        a = rnd.uniform(0.25, 0.8)
        if avoid and math.hypot(x - avoid[0], y - avoid[1]) < avoid[2] + 6:
            continue
        if any(x0 <= x <= x1 and y0 <= y <= y1 for x0, y0, x1, y1 in clear):
            continue
        out.append("fill-opacity %s circle %s %s" % (f(a), pt(x, y), pt(x + r, y)))
    return "stroke none fill white\n" + "\n".join(out) + "\nfill-opacity 1\n"


def globe(cx, cy, r, grid_width=1.0, grid_opacity=0.35, meridians=(0.3, 0.62, 0.88), parallels=(-50, -22, 0, 22, 50)):
    """A shaded ocean sphere lit from the upper left, with a latitude/longitude grid."""
    out = ["stroke none"]
    steps = 48
    hx, hy = cx - 0.38 * r, cy - 0.42 * r  # highlight centre
    for i in range(steps):
        t = i / (steps - 1)
        rr = r * (1 - 0.82 * t)
        ccx = cx + (hx - cx) * t * 0.9
        ccy = cy + (hy - cy) * t * 0.9
        col = mix(OCEAN_DARK, OCEAN_LIGHT, t ** 0.8)
        out.append("fill '%s' circle %s %s" % (hexrgb(col), pt(ccx, ccy), pt(ccx + rr, ccy)))
    out.append("fill none stroke '%s' stroke-opacity %s stroke-width %s" % (GRID, f(grid_opacity), f(grid_width)))
    out.append("ellipse %s %s 0,360" % (pt(cx, cy), pt(0.01, r - 0.5)))
    for m in meridians:
        out.append("ellipse %s %s 0,360" % (pt(cx, cy), pt(r * m, r - 0.5)))
    for lat in parallels:
        y = cy + r * math.sin(math.radians(lat))
        half = r * math.cos(math.radians(lat)) - 0.5
        out.append("line %s %s" % (pt(cx - half, y), pt(cx + half, y)))
    # Rim: a faint dark limb and a thin bright edge of atmosphere.
    out.append("stroke '#021025' stroke-opacity 0.3 stroke-width %s" % f(max(1.5, r * 0.03)))
    out.append("circle %s %s" % (pt(cx, cy), pt(cx + r - r * 0.015, cy)))
    out.append("stroke '#8fd3ff' stroke-opacity 0.8 stroke-width %s" % f(max(1.0, r * 0.012)))
    out.append("circle %s %s" % (pt(cx, cy), pt(cx + r, cy)))
    out.append("stroke-opacity 1")
    return "\n".join(out) + "\n"


def arc_path(cx, cy, rx, ry, tilt, a0, a1):
    """An open elliptic arc from parametric angle a0 to a1 (degrees) as a fine
    polyline (ImageMagick closes some arc paths that leave the canvas)."""
    steps = max(2, int(abs(a1 - a0) / 1.5))
    points = [orbit_point(cx, cy, rx, ry, tilt, a0 + (a1 - a0) * i / steps) for i in range(steps + 1)]
    return "polyline " + " ".join(pt(x, y) for x, y in points)


def orbit_trail(cx, cy, rx, ry, tilt, a0, a1, width, opacity):
    """A piece of a tilted orbit from parametric angle a0 to a1; its layer is
    given a fade so that it comes out of the dark."""
    out = ["fill none stroke white stroke-opacity %s stroke-width %s" % (f(opacity), f(width))]
    out.append(arc_path(cx, cy, rx, ry, tilt, a0, a1))
    out.append("stroke-opacity 1")
    return "\n".join(out) + "\n"


def orbit_point(cx, cy, rx, ry, tilt, angle):
    a = math.radians(angle)
    x, y = rx * math.cos(a), ry * math.sin(a)
    t = math.radians(tilt)
    return cx + x * math.cos(t) - y * math.sin(t), cy + x * math.sin(t) + y * math.cos(t)


def satellite(x, y, s, angle):
    """A small satellite: gold body, two blue solar wings, an antenna dish."""
    sw = 1.0 / s  # keep outlines about one pixel wide whatever the scale
    out = ["push graphic-context", "translate %s" % pt(x, y), "rotate %s" % f(angle), "scale %s" % pt(s, s)]
    out.append("stroke '#d5dde8' stroke-width %s fill none line -27,0 27,0" % f(1.6 * sw))
    out.append("stroke '%s' stroke-width %s fill '%s'" % (PANEL_LINE, f(sw), PANEL))
    out.append("rectangle -34,-7 -13,7")
    out.append("rectangle 13,-7 34,7")
    out.append("stroke '%s' stroke-opacity 0.7 stroke-width %s" % (PANEL_LINE, f(0.8 * sw)))
    for x0 in (-27, -20, 20, 27):
        out.append("line %d,-7 %d,7" % (x0, x0))
    out.append("line -34,0 -13,0")
    out.append("line 13,0 34,0")
    out.append("stroke-opacity 1")
    out.append("stroke '%s' stroke-width %s fill '%s'" % (GOLD_DARK, f(sw), GOLD))
    out.append("roundrectangle -8,-10 8,10 2,2")
    out.append("stroke none fill '#fff1c4' fill-opacity 0.75 rectangle -6,-8 -2,8 fill-opacity 1")
    out.append("stroke '#e6ecf5' stroke-width %s line 0,10 0,15" % f(1.4 * sw))
    out.append("stroke '#9aa7b8' stroke-width %s fill '#f2f5fa'" % f(sw))
    out.append("ellipse 0,17 6,3 0,360")
    out.append("pop graphic-context")
    return "\n".join(out) + "\n"


def signal(x, y, toward, radii, spread, width):
    """Radio waves from (x, y) opening towards the angle `toward` (degrees)."""
    out = ["fill none stroke '%s' stroke-width %s" % (TAGLINE, f(width))]
    for i, r in enumerate(radii):
        out.append("stroke-opacity %s" % f(0.9 - 0.22 * i))
        out.append(arc_path(x, y, r, r, 0, toward - spread, toward + spread))
    out.append("stroke-opacity 1")
    return "\n".join(out) + "\n"


def pin(tx, ty, R, outline=1.0, shadow=True, rim=PIN_DARK):
    """A map pin whose tip touches (tx, ty), head radius R."""
    d = 1.75 * R  # tip to head centre
    hx, hy = tx, ty - d
    theta = math.acos(R / d)
    p1 = (hx - R * math.sin(theta), hy + R * math.cos(theta))
    p2 = (hx + R * math.sin(theta), hy + R * math.cos(theta))
    out = []
    if shadow:
        out.append("stroke none fill black fill-opacity 0.35 ellipse %s %s 0,360 fill-opacity 1"
                   % (pt(tx, ty), pt(R * 0.75, R * 0.25)))
    out.append("stroke '%s' stroke-width %s fill '%s'" % (rim, f(outline), PIN_RED))
    out.append("path 'M %s L %s A %s 0 1,1 %s Z'" % (pt(tx, ty), pt(*p1), pt(R, R), pt(*p2)))
    # gloss on the upper left of the head
    out.append("stroke none fill white fill-opacity 0.28")
    out.append("ellipse %s %s 0,360" % (pt(hx - R * 0.35, hy - R * 0.4), pt(R * 0.38, R * 0.25)))
    out.append("fill-opacity 1 fill white")
    out.append("circle %s %s" % (pt(hx, hy), pt(hx + R * 0.4, hy)))
    return "\n".join(out) + "\n"


def text(x, y, size, font, colour, s, kerning=None, gravity="NorthWest"):
    q = s.replace("\\", "\\\\").replace("'", "\\'")
    k = "kerning %s " % f(kerning) if kerning is not None else ""
    return "gravity %s font '%s' font-size %s %sstroke none fill '%s' text %s '%s'\n" % (
        gravity, font, f(size), k, colour, pt(x, y), q)


# ---- rendering through ImageMagick -------------------------------------------

# ImageMagick 6.9 strokes some mitred joins of open polylines with a stray
# closing edge; round joins are drawn correctly.
SAFE_JOINS = "stroke-linejoin round stroke-linecap round\n"


def render(width, height, background, layers):
    """Flattens the layers over the background; returns width*height RGB bytes.

    background: list of convert arguments producing the base image.
    layers: list of (mvg, blur, shadow[, fade]): blur > 0 softens the layer
    (glow), shadow turns it into a black copy (drop shadow) before blurring,
    fade (x0, x1) makes it transparent left of x0, rising to opaque at x1.
    """
    args = ["convert"] + background
    for layer in layers:
        mvg, blur, shadow = layer[:3]
        fade = layer[3] if len(layer) > 3 else None
        args += ["(", "-size", "%dx%d" % (width, height), "xc:none", "-draw", SAFE_JOINS + mvg]
        if shadow:
            args += ["-channel", "RGB", "-evaluate", "set", "0", "+channel"]
        if blur:
            args += ["-channel", "RGBA", "-blur", "0x%s" % f(blur), "+channel"]
        if fade:
            ramp = "a*min(1,max(0,(i-%s)/%s))" % (f(fade[0]), f(fade[1] - fade[0]))
            args += ["-channel", "A", "-fx", ramp, "+channel"]
        args += [")", "-composite"]
    args += ["-alpha", "off", "-depth", "8", "rgb:-"]
    data = subprocess.run(args, check=True, stdout=subprocess.PIPE).stdout
    if len(data) != width * height * 3:
        raise SystemExit("convert gave %d bytes for %dx%d" % (len(data), width, height))
    return data


def render_rgba(width, height, mvg, supersample):
    """Renders an MVG drawing on transparency at `supersample` times the size,
    then reduces it; returns width*height RGBA bytes."""
    big = "%dx%d" % (width * supersample, height * supersample)
    args = ["convert", "-size", big, "xc:none", "-draw", SAFE_JOINS + mvg,
            "-filter", "Box", "-resize", "%dx%d!" % (width, height), "-depth", "8", "rgba:-"]
    data = subprocess.run(args, check=True, stdout=subprocess.PIPE).stdout
    if len(data) != width * height * 4:
        raise SystemExit("convert gave %d bytes for %dx%d" % (len(data), width, height))
    return data


def gradient_background(width, height, corners):
    """A smooth four-corner gradient: corners are colours for NW, NE, SW, SE."""
    points = "0,0 %s %d,0 %s 0,%d %s %d,%d %s" % (corners[0], width - 1, corners[1], height - 1, corners[2],
                                                 width - 1, height - 1, corners[3])
    return ["-size", "%dx%d" % (width, height), "xc:black", "-sparse-color", "Bilinear", points]


# ---- the pictures ------------------------------------------------------------


def splash():
    w, h = SPLASH_SIZE
    gcx, gcy, gr = 382, 268, 150
    # A wide orbit that sweeps from the lower left past the globe's limb.
    tilt = -35
    orx, ory = 260, 150
    sx, sy = orbit_point(gcx, gcy, orx, ory, tilt, 259)
    pin_tip = (404, 168)

    back = stars(w, h, 130, 7, avoid=(gcx, gcy, gr), clear=[(20, 55, 265, 120)])
    glow = "stroke none fill '#2f9bff' circle %s %s\n" % (pt(gcx, gcy), pt(gcx + gr + 5, gcy))
    scene = globe(gcx, gcy, gr)
    trail = orbit_trail(gcx, gcy, orx, ory, tilt, 200, 330, 5, 0.12)
    trail += orbit_trail(gcx, gcy, orx, ory, tilt, 200, 330, 1.5, 0.8)
    toward = math.degrees(math.atan2(pin_tip[1] - 26 - sy, pin_tip[0] - sx))
    scene += signal(sx, sy, toward, (26, 35, 44), 24, 1.8)
    scene += satellite(sx, sy, 1.0, -38)
    scene += pin(*pin_tip, 15, outline=1.2)

    # The product's name only: the picture is the same in every language.
    tx = 28
    title = text(tx, 62, 36, FONT_BOLD, "white", "GPS Fennik", kerning=-0.4)
    accent = "stroke none fill '#f0822d' roundrectangle %s %s 1.5,1.5\n" % (pt(tx + 2, 110), pt(tx + 50, 113))

    layers = [
        (back, 0, False),
        (glow, 14, False),
        (trail, 0, False, (170, 250)),
        (scene, 0, False),
        (title, 2.2, True),
        (title + accent, 0, False),
    ]
    bg = gradient_background(w, h, (NAVY_DEEP, NAVY, "#0a2349", BLUE_SKY))
    return render(w, h, bg, layers)


def banner():
    w, h = BANNER_SIZE
    gcx, gcy, gr = 352, 158, 110
    tilt = -25
    orx, ory = 230, 135
    sx, sy = orbit_point(gcx, gcy, orx, ory, tilt, 262)
    pin_tip = (338, 80)

    back = stars(w, h, 60, 11, avoid=(gcx, gcy, gr), clear=[(10, 12, 240, 70)])
    glow = "stroke none fill '#2f9bff' circle %s %s\n" % (pt(gcx, gcy), pt(gcx + gr + 3, gcy))
    scene = globe(gcx, gcy, gr, grid_width=0.9, meridians=(0.3, 0.62, 0.88), parallels=(-50, -22, 0))
    trail = orbit_trail(gcx, gcy, orx, ory, tilt, 236, 330, 4, 0.12)
    trail += orbit_trail(gcx, gcy, orx, ory, tilt, 236, 330, 1.2, 0.8)
    toward = math.degrees(math.atan2(pin_tip[1] - 16 - sy, pin_tip[0] - sx))
    scene += signal(sx, sy, toward, (16, 22, 28), 24, 1.4)
    scene += satellite(sx, sy, 0.62, -36)
    scene += pin(*pin_tip, 9.5, outline=1.0)

    tx = 18
    title = text(tx, 20, 31, FONT_BOLD, "white", "GPS Fennik", kerning=-0.4)
    accent = "stroke none fill '#f0822d' roundrectangle %s %s 1.5,1.5\n" % (pt(tx + 2, 61), pt(tx + 42, 63.5))
    base = "stroke none fill '#f0822d' rectangle 0,%d %d,%d\n" % (h - 3, w, h)

    layers = [
        (back, 0, False),
        (glow, 8, False),
        (trail, 0, False, (190, 262)),
        (scene, 0, False),
        (title, 1.8, True),
        (title + accent + base, 0, False),
    ]
    bg = gradient_background(w, h, (NAVY_DEEP, NAVY, "#0a2349", BLUE_SKY))
    return render(w, h, bg, layers)


def wizard():
    """The left panel of the setup's welcome and finish pages: the globe rising
    from the bottom, a satellite on its orbit sending to the pin."""
    w, h = WIZARD_SIZE
    gcx, gcy, gr = 70, 330, 125
    tilt = -70
    orx, ory = 260, 120
    sx, sy = orbit_point(gcx, gcy, orx, ory, tilt, 338)
    pin_tip = (96, 226)

    back = stars(w, h, 90, 23, avoid=(gcx, gcy, gr))
    glow = "stroke none fill '#2f9bff' circle %s %s\n" % (pt(gcx, gcy), pt(gcx + gr + 4, gcy))
    scene = globe(gcx, gcy, gr, parallels=(-50, -22, 0, 22, 50))
    trail = orbit_trail(gcx, gcy, orx, ory, tilt, 262, 356, 4, 0.12)
    trail += orbit_trail(gcx, gcy, orx, ory, tilt, 262, 356, 1.3, 0.8)
    toward = math.degrees(math.atan2(pin_tip[1] - 20 - sy, pin_tip[0] - sx))
    scene += signal(sx, sy, toward, (20, 28, 36), 24, 1.5)
    scene += satellite(sx, sy, 0.8, -30)
    scene += pin(*pin_tip, 12, outline=1.1)
    base = "stroke none fill '#f0822d' rectangle %d,0 %d,%d\n" % (w - 3, w, h)

    layers = [
        (back, 0, False),
        (glow, 10, False),
        (trail, 0, False, (0, 60)),
        (scene + base, 0, False),
    ]
    bg = gradient_background(w, h, (NAVY_DEEP, NAVY, "#0a2349", BLUE_SKY))
    return render(w, h, bg, layers)


# The rims of the images with alpha: mid tones that keep 3:1 against both
# the dark (#202020) and the light (#F3F3F3) taskbar. The two first images
# keep their original dark rims.
GLOBE_RIM = "#2f86d8"
PIN_RIM = "#d23c1c"
TASKBARS = ("#202020", "#f3f3f3")
MIN_RIM_CONTRAST = 3.0


def luminance(colour):
    """Relative luminance of an sRGB colour '#rrggbb' (WCAG 2)."""
    def linear(c):
        c /= 255.0
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = (int(colour[i:i + 2], 16) for i in (1, 3, 5))
    return 0.2126 * linear(r) + 0.7152 * linear(g) + 0.0722 * linear(b)


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)), reverse=True)
    return (la + 0.05) / (lb + 0.05)


def icon_glyph(s=8.0, globe_rim="#04162f", pin_rim=PIN_DARK):
    """A map pin standing on a globe, in a 32-unit square drawn `s` pixels per
    unit (the 32-pixel icon at 8 times its size)."""
    gcx, gcy, gr = 14.5 * s, 19.5 * s, 11.5 * s
    outline = 1.1 * s
    out = globe(gcx, gcy, gr, meridians=(0.45, 0.85), parallels=(-35, 0, 35), grid_width=s, grid_opacity=0.55)
    # An outline so the shape stands out on the taskbar.
    out += "fill none stroke '%s' stroke-width %s circle %s %s\n" % (
        globe_rim, f(outline), pt(gcx, gcy), pt(gcx + gr + outline / 2, gcy))
    out += pin(20.5 * s, 17.5 * s, 5.6 * s, outline=outline, shadow=False, rim=pin_rim)
    return out


# The images with alpha after the two first ones; the 256-pixel one as PNG.
ALPHA_SIZES = (20, 24, 40, 48, 64, 256)
PNG_SIZE = 256


def alpha_icon_rgba(size):
    supersample = max(2, -(-256 // size))
    return render_rgba(size, size, icon_glyph(size * supersample / 32.0, GLOBE_RIM, PIN_RIM), supersample)


# The 16-pixel icon is drawn pixel by pixel: at that size a scaled drawing
# turns to mush. Same picture as the large one: globe, grid, pin.
SMALL_PIN = [
    "..RRR..",
    ".RoorR.",
    "RopwprR",
    "RrwwwrR",
    "RrpwprR",
    ".RrrrR.",
    "..RrR..",
    "..RrR..",
    "...R...",
]
SMALL_PIN_AT = (8, 0)
SMALL_GLOBE_AT = (1, 4)  # top-left of its 12x12 disc
SMALL_DISC = [
    "....XXXX....",
    "..XXXXXXXX..",
    ".XXXXXXXXXX.",
    ".XXXXXXXXXX.",
    "XXXXXXXXXXXX",
    "XXXXXXXXXXXX",
    "XXXXXXXXXXXX",
    "XXXXXXXXXXXX",
    ".XXXXXXXXXX.",
    ".XXXXXXXXXX.",
    "..XXXXXXXX..",
    "....XXXX....",
]
SMALL_COLOURS = {
    "R": (142, 36, 17),    # pin outline
    "r": (240, 82, 45),    # pin
    "o": (255, 132, 96),   # pin gloss
    "w": (255, 255, 255),
    "p": (255, 196, 182),  # rounds the white dot
    "k": (4, 22, 47),      # globe outline
}


def small_meridian(r):
    """Column of the left curved meridian on row r of the small disc."""
    n = len(SMALL_DISC)
    half = (n - 1) / 2.0
    return int(math.floor(half - 2.6 * math.sqrt(max(0.0, 1 - ((r - half) / (half + 0.5)) ** 2))))


def small_icon_rgba():
    size = 16
    px = [[None] * size for _ in range(size)]
    gx, gy = SMALL_GLOBE_AT
    n = len(SMALL_DISC)

    def inside(c, r):
        return 0 <= r < n and 0 <= c < n and SMALL_DISC[r][c] == "X"

    for r in range(n):
        for c in range(n):
            if not inside(c, r):
                continue
            edge = not all(inside(c + dc, r + dr) for dc, dr in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            if edge:
                colour = SMALL_COLOURS["k"]
            else:
                # lit from the upper left, as the large icon
                t = min(1.0, math.hypot(c - 3.5, r - 3.0) / 8.5)
                colour = mix(OCEAN_LIGHT, OCEAN_DARK, t)
                if r == 6 or c == small_meridian(r) or c == n - 1 - small_meridian(r):
                    colour = mix(colour, (191, 230, 255), 0.55)
            px[gy + r][gx + c] = colour
    ox, oy = SMALL_PIN_AT
    for r, row in enumerate(SMALL_PIN):
        for c, ch in enumerate(row):
            if ch != ".":
                px[oy + r][ox + c] = SMALL_COLOURS[ch]
    out = bytearray()
    for row in px:
        for colour in row:
            out += bytes(colour + (255,)) if colour else b"\0\0\0\0"
    return bytes(out)


# ---- file writers --------------------------------------------------------------


def bmp24(width, height, rgb):
    """A 24-bit uncompressed (BI_RGB) Windows bitmap, rows bottom-up."""
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            i = (y * width + x) * 3
            row += bytes((rgb[i + 2], rgb[i + 1], rgb[i]))
        row += b"\0" * (stride - width * 3)
        rows.append(bytes(row))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 3780, 3780, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return head + info + pixels


def and_mask(width, height, rgba):
    """1 bit per pixel, 1 where transparent; rows bottom-up, padded to 32 bits."""
    stride = ((width + 31) // 32) * 4
    out = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray(stride)
        for x in range(width):
            if rgba[(y * width + x) * 4 + 3] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def opaque_colour(rgba, i):
    """The colour of a pixel, black where the mask makes it transparent."""
    if rgba[i + 3] < 128:
        return (0, 0, 0)
    return (rgba[i], rgba[i + 1], rgba[i + 2])


def icon_image_24(width, height, rgba):
    stride = (width * 3 + 3) & ~3
    xor = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = opaque_colour(rgba, (y * width + x) * 4)
            row += bytes((b, g, r))
        row += b"\0" * (stride - width * 3)
        xor += row
    mask = and_mask(width, height, rgba)
    info = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 24, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + bytes(xor) + mask


def icon_image_8(width, height, rgba):
    """A 256-colour image. A 16x16 image has at most 256 distinct colours, so
    the palette holds them exactly and nothing is dithered."""
    colours = []
    index = {}
    for i in range(0, width * height * 4, 4):
        c = opaque_colour(rgba, i)
        if c not in index:
            index[c] = len(colours)
            colours.append(c)
    if len(colours) > 256:
        raise SystemExit("%dx%d icon image has %d colours" % (width, height, len(colours)))
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in colours) + b"\0\0\0\0" * (256 - len(colours))
    stride = (width + 3) & ~3
    xor = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray(index[opaque_colour(rgba, (y * width + x) * 4)] for x in range(width))
        row += b"\0" * (stride - width)
        xor += row
    mask = and_mask(width, height, rgba)
    info = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 8, 0, len(xor) + len(mask), 0, 0, 256, 0)
    return info + palette + bytes(xor) + mask


def icon_image_32(width, height, rgba):
    """A 32-bit image with its alpha channel (and the mask older systems use)."""
    xor = bytearray()
    for y in range(height - 1, -1, -1):
        for x in range(width):
            i = (y * width + x) * 4
            xor += bytes((rgba[i + 2], rgba[i + 1], rgba[i], rgba[i + 3]))
    mask = and_mask(width, height, rgba)
    info = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + bytes(xor) + mask


def png_rgba(width, height, rgba):
    """A PNG of 8-bit RGBA, the form of large icon images since Windows Vista."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    rows = b"".join(b"\0" + rgba[y * width * 4:(y + 1) * width * 4] for y in range(height))
    head = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


def ico(images):
    """images: list of (width, height, bit_count, image bytes)."""
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for w, h, bits, data in images:
        colour_count = 0  # 256 colours and true colour are both written as 0
        entries += struct.pack("<BBBBHHII", w % 256, h % 256, colour_count, 0, 1, bits, len(data), offset)
        offset += len(data)
    return head + entries + b"".join(d for *_, d in images)


# ---- checks ----------------------------------------------------------------------


def check_bmp(path, width, height):
    data = open(path, "rb").read()
    magic, size, _, _, off = struct.unpack_from("<2sIHHI", data, 0)
    hdr = struct.unpack_from("<IiiHHI", data, 14)
    ok = (magic == b"BM" and size == len(data) and hdr[0] == 40 and hdr[1] == width and hdr[2] == height
          and hdr[4] == 24 and hdr[5] == 0 and off == 54)
    if not ok:
        raise SystemExit("%s: not a %dx%d 24-bit BI_RGB bitmap (%r)" % (path, width, height, hdr))


def check_ico(path):
    data = open(path, "rb").read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    expected = [(32, 24), (16, 8)] + [(n, 32) for n in ALPHA_SIZES]
    if reserved != 0 or kind != 1 or count != len(expected):
        raise SystemExit("%s: expected an icon with %d images" % (path, len(expected)))
    for n in range(count):
        w, h, cc, _, planes, bits, size, off = struct.unpack_from("<BBBBHHII", data, 6 + 16 * n)
        w, h = w or 256, h or 256
        if (w, bits) != expected[n] or h != w or planes != 1 or off + size > len(data):
            raise SystemExit("%s: entry %d is %dx%d %d-bit" % (path, n, w, h, bits))
        if w == PNG_SIZE:
            if data[off:off + 8] != b"\x89PNG\r\n\x1a\n" or struct.unpack_from(">IIBB", data, off + 16) != (w, h, 8, 6):
                raise SystemExit("%s: image %d is no %dx%d RGBA PNG" % (path, n, w, h))
            continue
        bi = struct.unpack_from("<IiiHHI", data, off)
        if bi[0] != 40 or bi[1] != w or bi[2] != 2 * h or bi[4] != bits or bi[5] != 0:
            raise SystemExit("%s: image %d header %r does not match its entry" % (path, n, bi))
    for rim in (GLOBE_RIM, PIN_RIM):
        for bar in TASKBARS:
            if contrast(rim, bar) < MIN_RIM_CONTRAST:
                raise SystemExit("rim %s on %s: contrast %.2f" % (rim, bar, contrast(rim, bar)))


def check_all():
    check_bmp(os.path.join(ART_DIR, "splash.bmp"), *SPLASH_SIZE)
    check_bmp(os.path.join(ART_DIR, "banner.bmp"), *BANNER_SIZE)
    check_bmp(os.path.join(ART_DIR, "wizard.bmp"), *WIZARD_SIZE)
    check_ico(os.path.join(ART_DIR, "GpsFennik.ico"))


def main():
    if "--check" in sys.argv[1:]:
        check_all()
        print("art files are well formed")
        return
    os.makedirs(ART_DIR, exist_ok=True)
    with open(os.path.join(ART_DIR, "splash.bmp"), "wb") as fh:
        fh.write(bmp24(*SPLASH_SIZE, splash()))
    with open(os.path.join(ART_DIR, "banner.bmp"), "wb") as fh:
        fh.write(bmp24(*BANNER_SIZE, banner()))
    with open(os.path.join(ART_DIR, "wizard.bmp"), "wb") as fh:
        fh.write(bmp24(*WIZARD_SIZE, wizard()))
    big = render_rgba(32, 32, icon_glyph(), 8)
    small = small_icon_rgba()
    images = [(32, 32, 24, icon_image_24(32, 32, big)), (16, 16, 8, icon_image_8(16, 16, small))]
    for n in ALPHA_SIZES:
        rgba = alpha_icon_rgba(n)
        images.append((n, n, 32, png_rgba(n, n, rgba) if n == PNG_SIZE else icon_image_32(n, n, rgba)))
    with open(os.path.join(ART_DIR, "GpsFennik.ico"), "wb") as fh:
        fh.write(ico(images))
    check_all()
    print("wrote", ART_DIR)
    for rim in (GLOBE_RIM, PIN_RIM):
        print("rim %s: contrast %s" % (rim, ", ".join("%.2f on %s" % (contrast(rim, b), b) for b in TASKBARS)))


if __name__ == "__main__":
    main()
