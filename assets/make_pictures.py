#!/usr/bin/python3
"""Draws the window's pictures: the three tab icons, the header title and the contact QR code.

Needs Debian's python3-pil, python3-qrcode and fonts-wqy-microhei; run it with Debian's Python (/usr/bin/python3).
Run: /usr/bin/python3 assets/make_pictures.py [--preview FILE]
It rewrites tab_reinstall.png, tab_usb.png, tab_backup.png, header.png and contact_qr.png beside itself; --preview
also writes the pictures composited as the window draws them (header band, tab states, contact dialog), for review.

Tab icons are 96 by 96 (the tab draws them at 36 by 36): flat accent shapes with white details and a thin white rim,
so they read on the white, light-accent and selected-blue tab fills alike. Shapes are drawn 8x supersampled and
reduced with a box filter.
"""
import math
import os
import sys

import qrcode
from PIL import Image, ImageChops, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"

ACCENT = (0x2F, 0x6F, 0xEB)
LIGHT = (0xE8, 0xF0, 0xFE)
WHITE = (0xFF, 0xFF, 0xFF)
TEXT = (0x14, 0x18, 0x1D)
TEXT2 = (0x5B, 0x64, 0x70)

# Icon grid: 96 units, drawn at SS pixels per unit. Every icon uses the same weights and radii.
UNIT = 96
SS = 8
STROKE = 8      # main strokes (arrows, stand)
DETAIL = 6      # white details on the filled shapes
RADIUS = 10     # corners of the main bodies
SMALL_RADIUS = 4
RIM = 3         # white rim around the whole shape

TITLE = "Pellora重装大师"
TAGLINE = "一键重装 · 备份还原 · U盘启动"
HEADER_SIZE = (436, 136)

SUPPORT_URL = "https://support.pellora.example"
QR_SIZE = (109, 110)
QR_VERSION = 2   # 25 modules: at 3 pixels each the code leaves more than the 4-module quiet zone in 109 by 110
QR_MODULE = 3


class Canvas:
    """An RGBA layer of the icon grid, addressed in units."""

    def __init__(self):
        self.image = Image.new("RGBA", (UNIT * SS, UNIT * SS), (0, 0, 0, 0))
        self.draw = ImageDraw.Draw(self.image)

    @staticmethod
    def box(x0, y0, x1, y1):
        return [round(x0 * SS), round(y0 * SS), round(x1 * SS) - 1, round(y1 * SS) - 1]

    def rect(self, x0, y0, x1, y1, colour, radius=0):
        if radius:
            self.draw.rounded_rectangle(self.box(x0, y0, x1, y1), radius * SS, fill=colour)
        else:
            self.draw.rectangle(self.box(x0, y0, x1, y1), fill=colour)

    def ellipse(self, x0, y0, x1, y1, colour, width=0):
        if width:
            self.draw.ellipse(self.box(x0, y0, x1, y1), outline=colour, width=round(width * SS))
        else:
            self.draw.ellipse(self.box(x0, y0, x1, y1), fill=colour)

    def polygon(self, points, colour):
        self.draw.polygon([(x * SS, y * SS) for x, y in points], fill=colour)

    def arc(self, cx, cy, r, start, end, width, colour):
        """Ring segment of mid radius r from angle start to end (degrees, clockwise from 3 o'clock)."""
        outer = r + width / 2
        self.draw.arc(self.box(cx - outer, cy - outer, cx + outer, cy + outer), start, end, fill=colour,
                      width=round(width * SS))

    def arc_arrow(self, cx, cy, r, start, end, width, colour):
        """Clockwise ring segment ending in an arrow head whose base sits on the end angle."""
        head = width * 1.15
        self.arc(cx, cy, r, start, end + 2, width, colour)
        a = math.radians(end)
        px, py = cx + r * math.cos(a), cy + r * math.sin(a)
        nx, ny = math.cos(a), math.sin(a)          # outwards
        tx, ty = -math.sin(a), math.cos(a)         # direction of travel
        length = head * 1.25
        self.polygon([(px + nx * head, py + ny * head), (px - nx * head, py - ny * head),
                      (px + tx * length, py + ty * length)], colour)


def with_rim(layer):
    """The layer over a white copy of its shape grown by RIM units (a round dilation of the alpha)."""
    alpha = layer.getchannel("A").point(lambda a: 255 if a >= 128 else 0)
    grown = alpha.copy()
    r = RIM * SS
    step = 2
    for dy in range(-r, r + 1, step):
        for dx in range(-r, r + 1, step):
            if dx * dx + dy * dy <= r * r:
                grown = ImageChops.lighter(grown, ImageChops.offset(alpha, dx, dy))
    rim = Image.new("RGBA", layer.size, WHITE + (0,))
    rim.putalpha(grown)
    return Image.alpha_composite(rim, layer)


def finish(layer):
    """Reduce a supersampled layer to the 96-pixel icon, averaging colour by coverage."""
    return layer.resize((UNIT, UNIT), Image.BOX, reducing_gap=None)


def draw_reinstall():
    """A monitor whose screen carries a white restart arrow."""
    c = Canvas()
    c.rect(6, 12, 90, 70, ACCENT, RADIUS)
    c.rect(41, 68, 55, 80, ACCENT)
    c.rect(26, 78, 70, 78 + STROKE, ACCENT, SMALL_RADIUS)
    c.arc_arrow(48, 41, 15, -25, 245, DETAIL, WHITE)
    return finish(with_rim(c.image))


def draw_usb():
    """A USB stick leaning to the upper right: a connector with two holes over a body with a white ring."""
    c = Canvas()
    c.rect(36, 4, 60, 32, ACCENT, SMALL_RADIUS)
    c.rect(40, 12, 46, 20, WHITE)
    c.rect(50, 12, 56, 20, WHITE)
    c.rect(27, 28, 69, 92, ACCENT, RADIUS)
    c.ellipse(39, 64, 57, 82, WHITE, DETAIL - 1)
    c.rect(39, 41, 57, 41 + DETAIL, WHITE, DETAIL / 2)
    leaning = c.image.rotate(-45, Image.BICUBIC, center=(UNIT * SS / 2, UNIT * SS / 2))
    return finish(with_rim(leaning))


def draw_backup():
    """A disk cylinder inside two circular arrows."""
    c = Canvas()
    c.arc_arrow(48, 48, 34, 165, 285, STROKE, ACCENT)
    c.arc_arrow(48, 48, 34, 345, 465, STROKE, ACCENT)
    x0, x1, top, bottom, cap = 34, 62, 30, 66, 10
    c.rect(x0, top + cap / 2, x1, bottom - cap / 2, ACCENT)
    c.ellipse(x0, top, x1, top + cap, ACCENT)
    c.ellipse(x0, bottom - cap, x1, bottom, ACCENT)
    for y in (top + 12, top + 23):
        # The lower half of an ellipse marks each platter's edge.
        c.draw.arc(c.box(x0 + 2, y - cap / 2, x1 - 2, y + cap / 2), 0, 180, fill=WHITE, width=round(2.5 * SS))
    c.ellipse(x0 + 4, top + 2, x1 - 4, top + cap - 2, LIGHT)
    return finish(with_rim(c.image))


def draw_header():
    """The product name with a small tagline, left-aligned on a transparent band of twice the drawn size."""
    w, h = HEADER_SIZE
    image = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    draw = ImageDraw.Draw(image)
    latin, cjk = TITLE[:7], TITLE[7:]
    title_font = ImageFont.truetype(FONT, 56)
    tag_font = ImageFont.truetype(FONT, 24)
    bold = 1  # the font has one weight: a stroke of one pixel in the text colour thickens it
    x, baseline = 2, 71
    draw.text((x, baseline), latin, font=title_font, fill=ACCENT, anchor="ls", stroke_width=bold, stroke_fill=ACCENT)
    x += draw.textlength(latin, font=title_font) + 6
    draw.text((x, baseline), cjk, font=title_font, fill=TEXT, anchor="ls", stroke_width=bold, stroke_fill=TEXT)
    draw.text((4, 109), TAGLINE, font=tag_font, fill=TEXT2, anchor="ls")
    bbox = image.getbbox()
    if bbox[2] > w - 2:
        raise SystemExit(f"header title does not fit: {bbox}")
    return image


def draw_qr():
    """The support address as a QR code of whole-pixel modules, centred on white."""
    code = qrcode.QRCode(version=QR_VERSION, error_correction=qrcode.constants.ERROR_CORRECT_L, border=0)
    code.add_data(SUPPORT_URL.encode("ascii"), optimize=0)
    code.make(fit=False)
    matrix = code.get_matrix()
    n = len(matrix)
    w, h = QR_SIZE
    side = n * QR_MODULE
    left, top = (w - side) // 2, (h - side) // 2
    if min(left, top, w - side - left, h - side - top) < 4 * QR_MODULE:
        raise SystemExit("QR code leaves less than a 4-module quiet zone")
    image = Image.new("RGB", QR_SIZE, WHITE)
    draw = ImageDraw.Draw(image)
    for row, cells in enumerate(matrix):
        for col, dark in enumerate(cells):
            if dark:
                x, y = left + col * QR_MODULE, top + row * QR_MODULE
                draw.rectangle([x, y, x + QR_MODULE - 1, y + QR_MODULE - 1], fill=(0, 0, 0))
    return image


def preview(pictures, path):
    """The pictures as the window draws them: header band with tabs in each state, the contact dialog's picture."""
    band = Image.new("RGB", (1060, 88 * 2 + 150), (0xF7, 0xF8, 0xFA))
    draw = ImageDraw.Draw(band)
    icon = Image.open(os.path.join(HERE, "pl_host_gui.ico"))
    icon.size = (48, 48)
    icon = icon.convert("RGBA").resize((40, 40), Image.BICUBIC)
    label_font = ImageFont.truetype(FONT, 16)
    header = pictures["header.png"]
    hw, hh = header.size
    dw, dh = (218, 68) if hw * 68 > 218 * hh else (round(hw * 68 / hh), 68)
    tabs = [("tab_reinstall.png", "一键重装"), ("tab_usb.png", "U盘启动"), ("tab_backup.png", "备份/还原")]
    rows = [("selected", "hover", "normal"), ("disabled", "disabled", "disabled")]
    for r, states in enumerate(rows):
        y0 = r * 88
        draw.line([(0, y0 + 87), (899, y0 + 87)], fill=(0xE4, 0xE7, 0xEB))
        band.paste(icon, (20, y0 + 24), icon)
        small = header.resize((dw, dh), Image.BICUBIC)
        band.paste(small, (72, y0 + (88 - dh) // 2), small)
        for i, ((name, label), state) in enumerate(zip(tabs, states)):
            x, y = 329 + 150 * i, y0 + 8
            fill = {"selected": (0x72, 0xA1, 0xF7), "hover": LIGHT}.get(state, WHITE)
            text = {"selected": WHITE, "hover": ACCENT, "disabled": (0xC0, 0xC4, 0xCB)}.get(state, (0x40, 0x46, 0x52))
            draw.rounded_rectangle([x, y, x + 139, y + 71], 10, fill=fill)
            glyph = pictures[name].resize((36, 36), Image.BICUBIC)
            if state == "disabled":
                glyph.putalpha(glyph.getchannel("A").point(lambda a: a * 4 // 10))
            band.paste(glyph, (x + 52, y + round(72 * 0.34) - 18), glyph)
            draw.text((x + 70, y + (72 * 0.6 + 72) / 2), label, font=label_font, fill=text, anchor="mm")
    # Contact dialog face with the picture, and the icons at full size on the three fills.
    y0 = 2 * 88 + 10
    draw.rectangle([0, y0 - 10, 1059, y0 + 139], fill=(0xF0, 0xF0, 0xF0))
    qr = pictures["contact_qr.png"]
    band.paste(qr, (20, y0 + 10))
    for i, fill in enumerate((WHITE, LIGHT, (0x72, 0xA1, 0xF7))):
        for j, (name, _) in enumerate(tabs):
            x = 150 + i * 300 + j * 100
            draw.rectangle([x, y0 + 10, x + 99, y0 + 129], fill=fill)
            glyph = pictures[name]
            band.paste(glyph, (x + 2, y0 + 22), glyph)
    band.save(path)


def main(argv):
    pictures = {
        "tab_reinstall.png": draw_reinstall(),
        "tab_usb.png": draw_usb(),
        "tab_backup.png": draw_backup(),
        "header.png": draw_header(),
        "contact_qr.png": draw_qr(),
    }
    for name, image in pictures.items():
        image.save(os.path.join(HERE, name), optimize=True)
    if len(argv) == 2 and argv[0] == "--preview":
        preview(pictures, argv[1])
    elif argv:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
