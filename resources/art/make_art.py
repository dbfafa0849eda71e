#!/usr/bin/python3
"""Draws the skin images of both programs at 100, 125, 150 and 200 percent.

Every picture is described in window pixels at 100 percent and drawn anew at
each display scale (four times larger, then reduced), so the scaled variants
are sharp. Frames of multi-state images lie side by side in equal widths.
Writes the pictures both programs show alike once, to resources/common/images,
the others to resources/<program>/images, and each program's
resources/<program>/images.rc, which takes the shared ones from the common
folder under the program's own resource ids.
Needs python3-pil (Debian). Run: /usr/bin/python3 resources/art/make_art.py
"""
import os
import random

from PIL import Image, ImageDraw, ImageFilter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCALES = (100, 125, 150, 200)
# Resource ids of the variants are the image id plus these, modulo 65536.
VARIANT_OFFSET = {100: 0, 125: 12500000, 150: 15000000, 200: 20000000}
SS = 4  # supersampling factor

BLUE = (0x21, 0x6A, 0xF1)
BLUE_HOVER = (0x3D, 0x7F, 0xF5)
BLUE_PRESSED = (0x1A, 0x58, 0xCC)
BLUE_DISABLED = (0xA9, 0xC3, 0xF5)
BLUE_DEEP = (0x17, 0x57, 0xD9)
WHITE = (255, 255, 255)
GRAY_BORDER = (0xD0, 0xD5, 0xDD)
CORAL = (0xFF, 0x6B, 0x5B)
FOOTER_TOP = 240  # the background is blue above this line and white below


def scaled(value, scale):
    """Length at a display scale, rounded half away from zero (as the programs do)."""
    if scale == 100:
        return value
    f = scale * value / 100.0
    return int(f + 0.5) if f > 0 else int(f - 0.5)


def rgba(colour, alpha=1.0):
    return colour + (int(round(255 * alpha)),)


class Canvas:
    """A transparent picture of width x height window pixels at a scale,
    drawn supersampled. Coordinates are in 100-percent pixels; every shape is
    composited over what is already there."""

    def __init__(self, width, height, scale):
        self.scale = scale
        self.size = (width, height)
        self.k = scale / 100.0 * SS
        self.image = Image.new("RGBA", (scaled(width, scale) * SS, scaled(height, scale) * SS),
                               (0, 0, 0, 0))

    def p(self, v):
        return v * self.k

    def box(self, x0, y0, x1, y1):
        return [self.p(x0), self.p(y0), self.p(x1) - 1, self.p(y1) - 1]

    def _shape(self, points, paint):
        """Draws `paint(draw, shift)` on a layer around the device `points`
        (with a margin for outlines and caps) and composites it."""
        margin = int(self.k * 8) + 2
        xs = [x for x, _ in points]
        ys = [y for _, y in points]
        x0 = max(0, int(min(xs)) - margin)
        y0 = max(0, int(min(ys)) - margin)
        x1 = min(self.image.size[0], int(max(xs)) + margin + 1)
        y1 = min(self.image.size[1], int(max(ys)) + margin + 1)
        if x1 <= x0 or y1 <= y0:
            return
        layer = Image.new("RGBA", (x1 - x0, y1 - y0), (0, 0, 0, 0))
        paint(ImageDraw.Draw(layer), lambda seq: [v - (x0 if i % 2 == 0 else y0)
                                                  for i, v in enumerate(seq)])
        self.image.alpha_composite(layer, (x0, y0))

    def rounded(self, x0, y0, x1, y1, radius, fill=None, outline=None, width=1.0):
        b = self.box(x0, y0, x1, y1)
        w = max(1, int(round(self.p(width))))
        self._shape([(b[0], b[1]), (b[2], b[3])], lambda d, sh: d.rounded_rectangle(
            sh(b), radius=self.p(radius), fill=fill, outline=outline, width=w))

    def rectangle(self, x0, y0, x1, y1, fill):
        b = self.box(x0, y0, x1, y1)
        self._shape([(b[0], b[1]), (b[2], b[3])], lambda d, sh: d.rectangle(sh(b), fill=fill))

    def ellipse(self, x0, y0, x1, y1, fill=None, outline=None, width=1.0):
        b = self.box(x0, y0, x1, y1)
        w = max(1, int(round(self.p(width))))
        self._shape([(b[0], b[1]), (b[2], b[3])], lambda d, sh: d.ellipse(
            sh(b), fill=fill, outline=outline, width=w))

    def line(self, points, fill, width):
        pts = [(self.p(x), self.p(y)) for x, y in points]
        w = max(1, int(round(self.p(width))))
        r = w / 2.0

        def paint(d, sh):
            flat = sh([v for pt in pts for v in pt])
            d.line(flat, fill=fill, width=w, joint="curve")
            for x, y in (flat[:2], flat[-2:]):  # round caps
                d.ellipse([x - r, y - r, x + r, y + r], fill=fill)
        self._shape(pts, paint)

    def polygon(self, points, fill):
        pts = [(self.p(x), self.p(y)) for x, y in points]
        self._shape(pts, lambda d, sh: d.polygon(sh([v for pt in pts for v in pt]), fill=fill))

    def result(self, out_width, out_height):
        return self.image.resize((out_width, out_height), Image.LANCZOS)


def frames(frame_w, frame_h, scale, painters):
    """One image with a frame per painter, each scaled(frame_w) wide."""
    fw, fh = scaled(frame_w, scale), scaled(frame_h, scale)
    out = Image.new("RGBA", (fw * len(painters), fh), (0, 0, 0, 0))
    for i, paint in enumerate(painters):
        c = Canvas(frame_w, frame_h, scale)
        paint(c)
        out.paste(c.result(fw, fh), (i * fw, 0))
    return out


def single(width, height, scale, paint):
    c = Canvas(width, height, scale)
    paint(c)
    return c.result(scaled(width, scale), scaled(height, scale))


# ---------------------------------------------------------------- pictures

def frame_border(scale):
    """The window's drop shadow (9-cell: top 10, corners and sides 20, bottom 25).
    The background sits 7 pixels in from the sides and 1 from the top."""
    w = scaled(20, scale) * 3
    h = scaled(10, scale) + scaled(25, scale) * 2
    k = scale / 100.0
    big = Image.new("RGBA", (w * SS, h * SS), (0, 0, 0, 0))
    d = ImageDraw.Draw(big)
    inset_x, inset_top, inset_bottom = scaled(7, scale), scaled(1, scale), scaled(13, scale)
    offset = 3 * k
    d.rounded_rectangle([inset_x * SS, (inset_top + offset) * SS, (w - inset_x) * SS - 1,
                         (h - inset_bottom + offset * 0.6) * SS - 1],
                        radius=6 * k * SS, fill=(10, 30, 80, 120))
    big = big.filter(ImageFilter.GaussianBlur(5 * k * SS))
    return big.resize((w, h), Image.LANCZOS)


def background_layer(c):
    """Blue top with soft translucent circles, white footer, rounded corners."""
    size = c.image.size
    blue = Image.new("RGBA", size, rgba(BLUE))
    for cx, cy, r, a in ((470, -20, 150, 0.10), (540, 200, 120, 0.07), (60, 250, 110, 0.06)):
        circle = Image.new("RGBA", size, (0, 0, 0, 0))
        ImageDraw.Draw(circle).ellipse([c.p(cx - r), c.p(cy - r), c.p(cx + r), c.p(cy + r)],
                                       fill=rgba(WHITE, a))
        blue.alpha_composite(circle)
    region = Image.new("L", size, 0)
    ImageDraw.Draw(region).rectangle([0, 0, size[0], c.p(FOOTER_TOP) - 1], fill=255)
    blue.putalpha(region)
    picture = Image.new("RGBA", size, rgba(WHITE))
    picture.alpha_composite(blue)
    corners = Image.new("L", size, 0)
    ImageDraw.Draw(corners).rounded_rectangle([0, 0, size[0] - 1, size[1] - 1], radius=c.p(4),
                                              fill=255)
    picture.putalpha(corners)
    c.image.alpha_composite(picture)


def install_bg(scale):
    return single(540, 360, scale, background_layer)


def glyph_button(glyph):
    """Title-bar button frames: normal, hover, pressed, disabled."""
    def paint(state):
        def draw(c):
            if state in (1, 2):
                c.rounded(2, 1, 24, 21, 3, fill=rgba(WHITE, 0.18 if state == 1 else 0.30))
            glyph(c, rgba(WHITE, 0.45 if state == 3 else 1.0))
        return draw
    return [paint(s) for s in range(4)]


def close_glyph(c, colour):
    c.line([(9, 7), (17, 15)], colour, 1.4)
    c.line([(17, 7), (9, 15)], colour, 1.4)


def min_glyph(c, colour):
    c.line([(8.5, 11), (17.5, 11)], colour, 1.4)


def checkbox_frames():
    def box(checked, hover):
        def draw(c):
            if checked:
                c.rounded(0.5, 0.5, 13.5, 13.5, 2.5, fill=rgba(BLUE_HOVER if hover else BLUE))
                c.line([(3.5, 7.2), (6, 9.7), (10.5, 4.6)], rgba(WHITE), 1.6)
            else:
                c.rounded(0.5, 0.5, 13.5, 13.5, 2.5, fill=rgba(WHITE),
                          outline=rgba(BLUE if hover else (0xB8, 0xBF, 0xCB)), width=1)
        return draw
    return [box(False, False), box(False, True), box(True, False), box(True, True)]


def capsule(colour):
    return lambda c: c.rounded(0, 0, 20, 8, 4, fill=rgba(colour))


def solid_button(fills, outlines=None, radius=3):
    def paint(state):
        def draw(c):
            outline = outlines[state] if outlines else None
            c.rounded(0, 0, 24, 24, radius, fill=fills[state], outline=outline, width=1)
        return draw
    return [paint(s) for s in range(4)]


def blue_button():
    return solid_button([rgba(BLUE), rgba(BLUE_HOVER), rgba(BLUE_PRESSED), rgba(BLUE_DISABLED)])


def white_button(radius):
    return solid_button(
        [rgba(WHITE), rgba(WHITE), rgba((0xEE, 0xF3, 0xFC)), rgba((0xF5, 0xF6, 0xF8))],
        [rgba(GRAY_BORDER), rgba(BLUE), rgba(BLUE_PRESSED), rgba((0xE3, 0xE6, 0xEB))], radius)


def transparent_button():
    return solid_button(
        [rgba(WHITE, 0.0), rgba(WHITE, 0.16), rgba(WHITE, 0.28), rgba(WHITE, 0.0)],
        [rgba(WHITE, 0.85), rgba(WHITE), rgba(WHITE), rgba(WHITE, 0.4)])


def edit_frames(count):
    alphas = [(0.06, 0.55), (0.10, 0.85), (0.12, 1.0), (0.03, 0.30)][:count]
    def paint(fill_a, line_a):
        return lambda c: c.rounded(0, 0, 12, 30, 3, fill=rgba(WHITE, fill_a),
                                   outline=rgba(WHITE, line_a), width=1)
    return [paint(*a) for a in alphas]


def msgbox_bg(c):
    c.rounded(0, 0, 400, 176, 4, fill=rgba(WHITE))
    strip = Canvas(400, 176, c.scale)
    strip.rounded(0, 0, 400, 40, 4, fill=rgba(BLUE))
    strip.rectangle(0, 20, 400, 36, fill=rgba(BLUE))
    c.image.alpha_composite(strip.image)


def msgbox_logo(c):
    c.ellipse(1, 1, 49, 49, fill=rgba(BLUE))
    c.rounded(22.5, 11, 27.5, 31, 2.5, fill=rgba(WHITE))
    c.ellipse(22, 34, 28, 40, fill=rgba(WHITE))


def app_logo(c):
    c.rounded(16, 16, 144, 144, 32, fill=rgba(WHITE))
    c.ellipse(44, 44, 116, 116, outline=rgba(BLUE), width=14)
    c.ellipse(100, 36, 124, 60, fill=rgba(CORAL))


def arrow(up):
    def paint(state):
        alpha = (0.85, 1.0, 0.7, 0.4)[state]
        def draw(c):
            pts = [(1.5, 5.5), (6, 1.5), (10.5, 5.5)] if up else [(1.5, 1.5), (6, 5.5), (10.5, 1.5)]
            c.line(pts, rgba(WHITE, alpha), 1.5)
        return draw
    return [paint(s) for s in range(4)]


def install_ok(c):
    c.ellipse(1, 1, 27, 27, fill=rgba(WHITE))
    c.line([(8, 14.5), (12.5, 19), (20, 10)], rgba(BLUE), 2.4)


def fail_picture(c):
    for x0, x1, y in ((40, 70, 40), (52, 76, 58), (164, 194, 46), (170, 200, 64)):
        c.line([(x0, y), (x1, y)], rgba(WHITE, 0.35), 3)
    c.ellipse(75, 1, 165, 91, fill=rgba(WHITE, 0.16))
    c.ellipse(85, 11, 155, 81, fill=rgba(WHITE))
    c.line([(108, 34), (132, 58)], rgba(CORAL), 6)
    c.line([(132, 34), (108, 58)], rgba(CORAL), 6)


def qr_code(c):
    c.rounded(0, 0, 80, 80, 4, fill=rgba(WHITE))
    n, cell, origin = 25, 2.8, 5
    rng = random.Random(6)
    dark = rgba((0x1B, 0x1F, 0x2A))

    def module(x, y, size, colour):
        c.rectangle(origin + x * cell, origin + y * cell, origin + (x + size) * cell,
                    origin + (y + size) * cell, fill=colour)

    for y in range(n):
        for x in range(n):
            in_finder = (x < 8 and y < 8) or (x >= n - 8 and y < 8) or (x < 8 and y >= n - 8)
            if not in_finder and rng.random() < 0.48:
                module(x, y, 1, dark)
    for fx, fy in ((0, 0), (n - 7, 0), (0, n - 7)):
        module(fx, fy, 7, dark)
        module(fx + 1, fy + 1, 5, rgba(WHITE))
        module(fx + 2, fy + 2, 3, dark)


def success_picture(c):
    c.ellipse(0, 0, 140, 140, fill=rgba(WHITE, 0.16))
    c.ellipse(18, 18, 122, 122, fill=rgba(WHITE))
    c.line([(45, 72), (63, 90), (96, 54)], rgba(BLUE), 10)


def animation_frames(scale, count=10):
    """The progress page's animation: a box that files drop into, over the
    blue part of the page (opaque, drawn over the background's own pixels)."""
    width, height = 540, FOOTER_TOP
    base = Canvas(width, height, scale)
    background_layer(base)
    out = []
    for i in range(count):
        c = Canvas(width, height, scale)
        c.image = base.image.copy()
        t = i / count
        # Three sheets falling one after the other into the box.
        for j in range(3):
            phase = (t + j / 3.0) % 1.0
            y = 40 + phase * 80
            alpha = min(1.0, (1.0 - phase) * 2.5)
            x = 258 + (j - 1) * 14
            c.rounded(x - 9, y - 12, x + 9, y + 12, 2, fill=rgba(WHITE, 0.9 * alpha))
            c.line([(x - 5, y - 4), (x + 5, y - 4)], rgba(BLUE, alpha), 1.5)
            c.line([(x - 5, y + 1), (x + 3, y + 1)], rgba(BLUE, alpha), 1.5)
        # The box: a back flap, then the front that hides the sheets' lower part.
        c.polygon([(222, 118), (318, 118), (306, 104), (234, 104)], rgba(WHITE, 0.55))
        c.rounded(222, 118, 318, 178, 6, fill=rgba(WHITE))
        c.rounded(256, 132, 284, 138, 3, fill=rgba(BLUE, 0.35))
        # A row of dots below the box, lit one after the other.
        for d in range(5):
            lit = (i // 2) % 5 == d
            c.ellipse(248 + d * 10, 196, 252 + d * 10, 200, fill=rgba(WHITE, 1.0 if lit else 0.4))
        pic = c.result(scaled(width, scale), scaled(height, scale))
        out.append(pic)
    return out


def save_gif(pictures, path, delay_ms):
    """Full opaque frames; the corner pixels outside the rounded background are transparent."""
    palette_frames = []
    for pic in pictures:
        rgb = Image.new("RGB", pic.size, BLUE)
        rgb.paste(pic, (0, 0), pic)
        q = rgb.quantize(colors=255, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
        pal = q.getpalette()[:255 * 3] + [0, 0, 0]
        q.putpalette(pal)
        alpha = pic.split()[3]
        q.paste(255, None, alpha.point(lambda a: 255 if a < 128 else 0))
        palette_frames.append(q)
    palette_frames[0].save(path, save_all=True, append_images=palette_frames[1:], duration=delay_ms,
                           loop=0, transparency=255, disposal=1, optimize=False)


# ---------------------------------------------------------------- tables

# (image id, file stem, maker(scale) -> image): the same pictures in both programs.
SHARED = [
    (1000, "frameborder", frame_border),
    (2000, "installbg", install_bg),
    (2001, "closebtn", lambda s: frames(26, 22, s, glyph_button(close_glyph))),
    (2002, "minbtn", lambda s: frames(26, 22, s, glyph_button(min_glyph))),
    (2003, "checkbox", lambda s: frames(14, 14, s, checkbox_frames())),
    (2004, "progressbar", lambda s: single(20, 8, s, capsule(BLUE))),
    (2005, "progressbg", lambda s: single(20, 8, s, capsule((0xE4, 0xE9, 0xF1)))),
    (2006, "btn_blue", lambda s: frames(24, 24, s, blue_button())),
    (2008, "msgboxbg", lambda s: single(400, 176, s, msgbox_bg)),
    (2009, "msgboxlogo", lambda s: single(50, 50, s, msgbox_logo)),
    (3001, "applogo", lambda s: single(160, 160, s, app_logo)),
    (3005, "fail", lambda s: single(240, 102, s, fail_picture)),
]

# Each program's own pictures, under ids that may also name another picture
# in the other program.
OWN = {
    "installer": [
        (2007, "btn_white", lambda s: frames(24, 24, s, white_button(3))),
        (2011, "btn_white_transe", lambda s: frames(24, 24, s, transparent_button())),
        (2010, "editbg", lambda s: frames(12, 30, s, edit_frames(4))),
        (3002, "downarrow", lambda s: frames(12, 7, s, arrow(False))),
        (3003, "uparrow", lambda s: frames(12, 7, s, arrow(True))),
        (3004, "installok", lambda s: single(28, 28, s, install_ok)),
        (3006, "qrcode", lambda s: single(80, 80, s, qr_code)),
    ],
    "uninstall": [
        (2007, "btn_white", lambda s: frames(24, 24, s, white_button(4))),
        (2010, "editbg", lambda s: frames(12, 30, s, edit_frames(3))),
        (3006, "success", lambda s: single(140, 140, s, success_picture)),
    ],
}

ANIMATION = (800, "installanimate", 12)  # id, stem, delay in hundredths of a second; shared


def file_name(stem, scale, ext):
    return f"{stem}.{ext}" if scale == 100 else f"{stem}_{scale}.{ext}"


def draw_images(images, folder):
    """Saves every scale of `images` into `folder`."""
    os.makedirs(folder, exist_ok=True)
    for _, stem, maker in images:
        for scale in SCALES:
            maker(scale).save(os.path.join(folder, file_name(stem, scale, "png")), optimize=True)


def draw_animation(folder):
    _, stem, delay = ANIMATION
    for scale in SCALES:
        save_gif(animation_frames(scale), os.path.join(folder, file_name(stem, scale, "gif")), delay * 10)


def resource_lines(program):
    """The lines of the program's images.rc: its own pictures from its folder,
    the shared ones from the common folder, in id order."""
    entries = [(image_id, stem, "images") for image_id, stem, _ in OWN[program]]
    entries += [(image_id, stem, "../common/images") for image_id, stem, _ in SHARED]
    lines = ["// Skin images, written by resources/art/make_art.py: id type file.",
             "// Display-scale variants use the image id plus 12500000 (125 %),",
             "// 15000000 (150 %) or 20000000 (200 %), modulo 65536. The pictures",
             "// both programs share lie in resources/common/images."]
    for image_id, stem, folder in sorted(entries):
        for scale in SCALES:
            rid = (image_id + VARIANT_OFFSET[scale]) % 65536
            lines.append(f'{rid} PNG "{folder}/{file_name(stem, scale, "png")}"')
    image_id, stem, _ = ANIMATION
    for scale in SCALES:
        rid = (image_id + VARIANT_OFFSET[scale]) % 65536
        lines.append(f'{rid} GIF "../common/images/{file_name(stem, scale, "gif")}"')
    return lines


def main():
    common = os.path.join(ROOT, "common", "images")
    draw_images(SHARED, common)
    draw_animation(common)
    for program, images in OWN.items():
        draw_images(images, os.path.join(ROOT, program, "images"))
        with open(os.path.join(ROOT, program, "images.rc"), "w", newline="\n") as rc:
            rc.write("\n".join(resource_lines(program)) + "\n")


if __name__ == "__main__":
    main()
