"""The pictures of one skin: four page backgrounds with their variants, and every overlay.

Each overlay (a lit or pressed button, a marker) is cut from a page drawn in that state, at
the place the panel draws it, so it lines up with the background to the pixel."""

import math

from PIL import Image, ImageDraw

import skin_art as art
from skin_art import (AMBER, BLACK, GREEN, GREEN_LED, LCD, LCD_GRID, METAL, RED_LED, SCREEN,
                      SCREEN_INK, SCREEN_LINE, TEXT, TEXT_DIM)

W, H = 640, 480
TABS = [("tab_eq", (421, 24, 467, 68)), ("tab_efft", (473, 24, 510, 68)),
        ("tab_mic", (522, 24, 562, 68)), ("tab_3d", (573, 24, 611, 68))]
EXIT_BOX = (544, 420, 605, 456)
LOGO_BOX = (31, 429, 180, 464)

EQ_BUTTONS = {  # key: (bitmap rectangle: x, y, w, h)
    "load": (187, 82, 82, 31), "enable": (273, 84, 81, 29), "reset": (359, 83, 80, 30),
    "save": (445, 83, 81, 30), "delete": (531, 83, 81, 31)}
PRESET_KEYS = ("tbass", "classic", "pop", "jazz", "rock")
PRESET_Y = (130, 187, 242, 299, 357)
KNOB_X = (279, 311, 343, 375, 407, 438, 470, 502, 534, 566)
BAND_NAMES = ("31", "62", "125", "250", "500", "1K", "2K", "4K", "8K", "16K")
CURVE_BOX = (276, 131, 584, 215)  # centred on y 173 over x 286-574

SF_BUTTONS = {"hall": 75, "corridor": 154, "none": 230, "livrm": 305, "bath": 381}
SF_BUTTON_RIGHT = {"hall": 114, "corridor": 194, "none": 268, "livrm": 345, "bath": 420}
SF_TYPES = {0: "none", 1: "hall", 2: "bath", 3: "livrm", 4: "corridor"}

SOURCE_Y = (180, 197)
TRACK_Y = (259, 276, 293, 311, 329)

SPEAKERS = (("L", 2.35619259), ("R", 0.78539753), ("C", 1.57079506), ("Sub", 0.0),
            ("Ls", 3.92698741), ("Rs", 5.49778271), ("Lb", 4.18878698), ("Rb", 5.23598337))
SPEAKER_COLOURS = ((255, 170, 60), (255, 170, 60), (250, 220, 90), (190, 120, 255),
                   (90, 180, 255), (90, 180, 255), (80, 220, 190), (80, 220, 190))


def box_of(rect):
    x, y, w, h = rect
    return (x, y, x + w - 1, y + h - 1)


def crop(img, x, y, w, h):
    return img.crop((x, y, x + w, y + h))


class Skin:
    def __init__(self, name, texts):
        self.name = name
        self.t = texts
        self._frames = {}
        self._outline = None

    # ----------------------------------------------------------------- the common frame

    def frame(self, page):
        """The body of a page with its title, tabs, logo plate and EXIT; drawn once per page."""
        if page not in self._frames:
            self._frames[page] = self.draw_frame(page)
        return self._frames[page].copy()

    def draw_frame(self, page):
        img = art.brushed_metal(W, H, METAL, 1000 + page).convert("RGB")
        # outer bevel of the body
        art.rrect(img, (4, 4, 635, 475), 26, (150, 156, 166, 255))
        art.rrect(img, (6, 6, 635, 475), 25, (16, 17, 20, 255))
        art.rrect(img, (6, 6, 633, 473), 24, (0, 0, 0, 0))
        body = art.brushed_metal(W, H, METAL, 2000 + page)
        mask = art.hard_mask(W, H, lambda d, s: d.rounded_rectangle(
            (8 * s, 8 * s, 632 * s - 1, 472 * s - 1), 23 * s, fill=(255, 255, 255, 255)))
        img.paste(body, (0, 0), mask)
        for x, y in ((20, 20), (619, 20), (20, 459), (619, 459)):
            art.screw(img, x, y)
        # title: the band that drags the window
        art.label(img, (36, 36), self.t["brand"], 22, anchor="lm")
        art.label(img, (38, 58), self.t["subtitle"], 11, fill=TEXT_DIM, anchor="lm")
        art.led(img, 330, 36, 4, AMBER, True)
        # tabs
        art.bevel_plate(img, (414, 17, 618, 75), radius=8, face=(30, 32, 36))
        for index, (key, box) in enumerate(TABS):
            self.tab(img, box, self.t[key], index == page)
        # bottom strip: our logo plate (a foreign skin gets the panel's logo over it)
        art.bevel_plate(img, LOGO_BOX, radius=6, face=(34, 36, 41))
        art.label(img, (106, 441), "AMPFX", 17, fill=AMBER)
        art.label(img, (106, 457), "SOUND EFFECTS", 8, fill=TEXT_DIM, bold=False)
        art.button(img, EXIT_BOX, self.t["exit"], "normal", size=13, lamp=RED_LED)
        return img

    def tab(self, img, box, text, active):
        x0, y0, x1, y1 = box
        art.button(img, box, "", "pressed" if active else "normal", radius=6)
        art.led(img, (x0 + x1 + 1) // 2, y0 + 10, 3, AMBER, active)
        size = art.fit_size(text, 13, x1 - x0 - 4)
        art.label(img, ((x0 + x1 + 1) // 2, y0 + 31), text, size,
                  fill=AMBER if active else TEXT)

    def heading(self, img, text):
        art.label(img, (362, 446), text, 13, fill=TEXT_DIM)

    def finish(self, img):
        """Cuts the outline with the key colour; nothing inside may be pure green."""
        art.sanitize(img, GREEN, (0, 254, 0))
        if self._outline is None:
            self._outline = art.hard_mask(W, H, lambda d, s: d.rounded_rectangle(
                (4 * s, 4 * s, 636 * s - 1, 476 * s - 1), 26 * s, fill=(255, 255, 255, 255)))
        keyed = Image.new("RGB", (W, H), GREEN)
        keyed.paste(img, (0, 0), self._outline)
        return keyed

    # ----------------------------------------------------------------- equalizer page

    def equalizer(self, pressed=None, enable_lit=False, preset_lit=None, grey=False):
        img = self.frame(0)
        t = self.t
        art.bevel_plate(img, (180, 77, 620, 120), radius=8, face=(32, 34, 39))
        for key, rect in EQ_BUTTONS.items():
            state = "normal"
            if key == pressed:
                state = "pressed"
            if key == "enable" and enable_lit:
                state = "lit"
            lamp = AMBER if key == "enable" else None
            art.button(img, box_of(rect), t[key], state, size=13, lamp=lamp)
        art.label(img, (93, 101), t["presets"], 12, fill=TEXT_DIM)
        art.bevel_plate(img, (60, 120, 126, 416), radius=8, face=(32, 34, 39))
        for index, (key, y) in enumerate(zip(PRESET_KEYS, PRESET_Y)):
            if grey:
                self.preset_button(img, y, t[key], "grey", big=True)
            else:
                self.preset_button(img, y, t[key], "lit" if preset_lit == index else "normal")
        # response screen
        art.bevel_plate(img, (CURVE_BOX[0] - 4, CURVE_BOX[1] - 4, CURVE_BOX[2] + 4,
                              CURVE_BOX[3] + 4), radius=6, face=(20, 22, 25))
        self.curve_screen(img)
        art.label(img, (206, 142), t["response"], 11, fill=TEXT_DIM)
        art.label(img, (206, 160), "+6 / -12 dB", 10, fill=(100, 106, 114), bold=False)
        # sliders
        art.bevel_plate(img, (134, 222, 620, 420), radius=8, face=(32, 34, 39))
        art.grille(img, (142, 232, 226, 410))
        self.slider_scale(img)
        for x, name in zip(KNOB_X, BAND_NAMES):
            self.slider_track(img, x + 8, 242, 396)
            art.label(img, (x + 8, 410), name, 10, fill=TEXT_DIM)
        self.heading(img, t["eq_title"])
        img = self.finish(img)
        # the curve's own colour never appears on the screen it is drawn on
        art.sanitize(img, art.CURVE_GREY, (101, 101, 100),
                     (CURVE_BOX[0], CURVE_BOX[1], CURVE_BOX[2] + 1, CURVE_BOX[3] + 1))
        return img

    def preset_button(self, img, y, text, state, big=False):
        if big:  # the greyed picture is 51 pixels square
            box = (69, y, 69 + 50, y + 50)
            art.rrect(img, box, 8, (30, 32, 36, 255))
            art.button(img, (73, y + 6, 113, y + 44), text, "grey", size=11, radius=7)
        else:
            art.button(img, (73, y + 6, 113, y + 42), text, state, size=11, radius=7)

    def curve_screen(self, img):
        x0, y0, x1, y1 = CURVE_BOX
        face = art.gradient_face(x1 - x0 + 1, y1 - y0 + 1, (170, 206, 196), (140, 180, 170), 3)
        art.paste_layer(img, face, x0, y0)
        d = ImageDraw.Draw(img)
        for i in range(10):
            x = 286 + 32 * i
            d.line((x, y0 + 3, x, y1 - 3), fill=LCD_GRID)
        for dy in (-34, -17, 17, 34):
            d.line((x0 + 3, 173 + dy, x1 - 3, 173 + dy), fill=LCD_GRID)
        d.line((x0 + 3, 173, x1 - 3, 173), fill=(112, 152, 142))

    def slider_scale(self, img):
        d = ImageDraw.Draw(img)
        for db, y in ((6, 242), (3, 280), (0, 319), (-3, 338), (-6, 357), (-9, 377),
                      (-12, 396)):
            d.line((236, y, 612, y), fill=(44, 47, 53) if db else (70, 58, 40))
            art.label(img, (258, y), ("+%d" % db) if db > 0 else str(db), 10,
                      fill=AMBER if db == 0 else TEXT_DIM, anchor="rm", bold=False)

    def slider_track(self, img, cx, top, bottom):
        d = ImageDraw.Draw(img)
        d.rectangle((cx - 2, top - 2, cx + 2, bottom + 2), fill=art.EDGE_DARK)
        d.rectangle((cx - 1, top - 1, cx + 1, bottom + 1), fill=(8, 9, 11))
        d.line((cx + 3, top - 2, cx + 3, bottom + 2), fill=(90, 95, 104))

    def knob(self, accent=AMBER):
        """A fader cap, 16 by 16, drawn opaque over a track."""
        img = Image.new("RGB", (16, 16), (30, 32, 36))
        face = art.gradient_face(16, 16, (196, 202, 210), (86, 90, 98), 3)
        img.paste(face, (0, 0), face)
        d = ImageDraw.Draw(img)
        d.rectangle((2, 7, 13, 8), fill=accent)
        d.line((3, 1, 12, 1), fill=(236, 240, 244))
        d.line((1, 15, 14, 15), fill=(28, 30, 34))
        art.sanitize(img, BLACK, (1, 1, 1))
        return img

    # ----------------------------------------------------------------- sound-field page

    def sound_field(self, chosen):
        img = self.frame(1)
        t = self.t
        key = SF_TYPES[chosen]
        screen = (40, 84, 600, 344)
        art.bevel_plate(img, screen, radius=10, face=(22, 24, 28))
        self.room_display(img, key)
        art.bevel_plate(img, (58, 352, 440, 422), radius=8, face=(32, 34, 39))
        for name, x0 in SF_BUTTONS.items():
            x1 = SF_BUTTON_RIGHT[name]
            art.button(img, (x0, 363, x1, 392), "", "lit" if name == key else "normal")
            art.led(img, (x0 + x1 + 1) // 2, 377, 4, AMBER, name == key)
            art.label(img, ((x0 + x1 + 1) // 2, 407), t[name], 11,
                      fill=AMBER if name == key else TEXT)
        art.bevel_plate(img, (452, 352, 620, 410), radius=8, face=(32, 34, 39))
        art.grille(img, (460, 358, 612, 404))
        self.heading(img, t["sf_title"])
        return self.finish(img)

    def room_display(self, img, key):
        """The screen of the sound-field page: the room from above with its echoes, and a decay."""
        d = ImageDraw.Draw(img)
        x0, y0, x1, y1 = 52, 96, 330, 332
        d.rectangle((x0, y0, x1, y1), fill=SCREEN)
        for gx in range(x0 + 10, x1, 20):
            d.line((gx, y0, gx, y1), fill=(24, 38, 42))
        for gy in range(y0 + 8, y1, 20):
            d.line((x0, gy, x1, gy), fill=(24, 38, 42))
        rooms = {"hall": (20, 24), "corridor": (118, 14), "livrm": (62, 56),
                 "bath": (96, 82), "none": None}
        cx, cy = (x0 + x1) // 2, (y0 + y1) // 2
        room = rooms[key]
        if room:
            mx, my = room
            walls = (x0 + mx, y0 + my, x1 - mx, y1 - my)
            d.rectangle(walls, outline=SCREEN_INK, width=2)
            src = (walls[0] + 14, walls[1] + 14)
            lis = (cx + 10, cy + 8)
            for wx, wy in ((walls[2], (src[1] + lis[1]) // 2), ((src[0] + lis[0]) // 2, walls[3]),
                           (walls[0], lis[1] - 6), ((src[0] + lis[0]) // 2, walls[1])):
                d.line((src, (wx, wy), lis), fill=SCREEN_LINE, width=1)
            d.line((src, lis), fill=SCREEN_INK, width=2)
            d.ellipse((src[0] - 5, src[1] - 5, src[0] + 5, src[1] + 5), fill=AMBER)
        else:
            lis = (cx + 30, cy)
            src = (x0 + 40, cy)
            d.line((src, lis), fill=SCREEN_INK, width=2)
            d.ellipse((src[0] - 5, src[1] - 5, src[0] + 5, src[1] + 5), fill=AMBER)
        d.ellipse((lis[0] - 7, lis[1] - 7, lis[0] + 7, lis[1] + 7), outline=SCREEN_INK, width=2)
        # the name and the decay on the right half
        art.label(img, (464, 130), self.t[key + "_long"], 20, fill=SCREEN_INK, shadow=False)
        art.label(img, (464, 164), self.t["decay"], 11, fill=(80, 140, 136), shadow=False)
        decay = {"hall": 0.93, "corridor": 0.86, "livrm": 0.78, "bath": 0.70, "none": 0.0}[key]
        bx0, by1 = 356, 318
        d.line((bx0, by1, 576, by1), fill=SCREEN_LINE)
        level = 1.0
        for i in range(22):
            h = int(120 * level)
            x = bx0 + 4 + i * 10
            if h > 0:
                d.rectangle((x, by1 - h, x + 5, by1 - 1), fill=SCREEN_INK if i else AMBER)
            level = level * decay if i else (0.62 if decay else 0.0)

    # ----------------------------------------------------------------- microphone page

    def microphone(self, boost=False, mute=False):
        img = self.frame(2)
        t = self.t
        art.bevel_plate(img, (40, 84, 380, 292), radius=10, face=(22, 24, 28))
        self.microphone_picture(img, (210, 188))
        art.bevel_plate(img, (100, 296, 362, 352), radius=8, face=(32, 34, 39))
        art.label(img, (232, 308), t["input_level"], 10, fill=TEXT_DIM)
        img.paste(self.meter_track(), (124, 319))
        art.label(img, (124, 345), "-∞", 9, fill=TEXT_DIM, anchor="lm", bold=False)
        art.label(img, (336, 345), "0 dB", 9, fill=TEXT_DIM, anchor="rm", bold=False)
        art.bevel_plate(img, (396, 150, 530, 352), radius=8, face=(32, 34, 39))
        art.button(img, (410, 198, 525, 234), t["boost"], "lit" if boost else "normal",
                   size=14, lamp=AMBER)
        art.label(img, (467, 180), "+20 dB", 10, fill=TEXT_DIM, bold=False)
        art.button(img, (411, 298, 519, 340), t["mute"], "lit" if mute else "normal",
                   size=14, lamp=RED_LED)
        art.bevel_plate(img, (556, 84, 620, 412), radius=8, face=(32, 34, 39))
        art.label(img, (590, 100), t["gain"], 11, fill=TEXT_DIM)
        d = ImageDraw.Draw(img)
        for p in range(0, 101, 10):
            y = 336 - p * 171 // 100
            d.line((570, y, 578 if p % 50 else 581, y), fill=(110, 116, 126))
        art.label(img, (566, 165), "100", 8, fill=TEXT_DIM, anchor="rm", bold=False)
        art.label(img, (566, 336), "0", 8, fill=TEXT_DIM, anchor="rm", bold=False)
        self.slider_track(img, 592, 165, 336)
        self.heading(img, t["mic_title"])
        return self.finish(img)

    def microphone_picture(self, img, centre):
        cx, cy = centre

        def paint(d, s):
            def e(box, **kw):
                d.ellipse(tuple(v * s for v in box), **kw)

            def r(box, radius, **kw):
                d.rounded_rectangle(tuple(v * s for v in box), radius * s, **kw)

            d.arc(tuple(v * s for v in (40, 36, 120, 126)), 20, 160, fill=(150, 156, 166, 255),
                  width=5 * s)
            r((68, 10, 92, 100), 12, fill=(70, 74, 82, 255))
            r((64, 6, 96, 92), 16, fill=(168, 174, 184, 255))
            for y in range(14, 88, 6):
                d.line((68 * s, y * s, 92 * s, y * s), fill=(90, 94, 102, 255), width=s)
            r((76, 120, 84, 160), 3, fill=(130, 136, 146, 255))
            r((52, 158, 108, 168), 5, fill=(120, 126, 136, 255))
            e((74, 40, 86, 52), fill=AMBER + (120,))

        layer = art.supersampled(160, 172, paint)
        art.paste_layer(img, layer, cx - 80, cy - 88)
        d = ImageDraw.Draw(img)
        hx, hy = cx, cy - 48
        for r in (44, 62, 80):
            d.arc((hx - r, hy - r, hx + r, hy + r), -35, 35, fill=(60, 110, 112), width=2)
            d.arc((hx - r, hy - r, hx + r, hy + r), 145, 215, fill=(60, 110, 112), width=2)

    def meter_track(self):
        img = Image.new("RGB", (213, 19), (12, 13, 15))
        d = ImageDraw.Draw(img)
        d.rectangle((0, 0, 212, 18), outline=(70, 74, 82))
        for x in range(10, 201, 4):
            d.rectangle((x, 4, x + 1, 15), fill=(34, 44, 36) if x < 150 else (52, 40, 28))
        return img

    def meter_segment(self):
        img = Image.new("RGB", (2, 12), GREEN_LED)
        ImageDraw.Draw(img).line((0, 0, 1, 0), fill=(180, 255, 190))
        return img

    # ----------------------------------------------------------------- speaker-test page

    def speaker_test(self, open71=False, v71_lit=False, play_lit=False, pause_lit=False,
                     source=None, track=None):
        img = self.frame(3)
        t = self.t
        art.bevel_plate(img, (50, 92, 366, 398), radius=6, face=(12, 13, 15))
        art.bevel_plate(img, (388, 78, 620, 134), radius=8, face=(32, 34, 39))
        art.button(img, (397, 85, 496, 123), t["virtual71"], "lit" if v71_lit else "normal",
                   size=13, lamp=AMBER)
        art.label(img, (558, 104), "7.1", 18, fill=AMBER if v71_lit else TEXT_DIM)
        if open71:
            art.bevel_plate(img, (376, 138, 620, 414), radius=8, face=(28, 30, 34))
            art.label(img, (498, 300), t["drag_hint"], art.fit_size(t["drag_hint"], 11, 230),
                      fill=TEXT_DIM)
            art.label(img, (498, 322), t["toolbar_hint"],
                      art.fit_size(t["toolbar_hint"], 11, 230), fill=TEXT_DIM)
            art.grille(img, (388, 340, 608, 404))
        else:
            art.bevel_plate(img, (392, 144, 620, 352), radius=8, face=(32, 34, 39))
            art.label(img, (404, 164), t["source"], 10, fill=TEXT_DIM, anchor="lm")
            art.label(img, (404, 244), t["track"], 10, fill=TEXT_DIM, anchor="lm")
            for index, (key, y) in enumerate(zip(("music", "honey_bee"), SOURCE_Y)):
                self.option(img, y, t[key], source == index)
            for index, (key, y) in enumerate(zip(("horizontal", "vertical", "insect",
                                                  "manual_h", "manual_v"), TRACK_Y)):
                self.option(img, y, t[key], track == index)
            art.bevel_plate(img, (30, 388, 390, 430), radius=8, face=(32, 34, 39))
            art.button(img, (38, 394, 88, 423), "", "lit" if play_lit else "normal")
            self.play_glyph(img, (63, 409), play_lit)
            art.button(img, (327, 394, 381, 423), "", "lit" if pause_lit else "normal")
            self.pause_glyph(img, (354, 409), pause_lit)
            art.label(img, (207, 402), t["test_sound"], 11, fill=TEXT_DIM)
            art.label(img, (207, 418), "22 kHz  MONO  16 BIT", 8, fill=(100, 106, 114),
                      bold=False)
        self.heading(img, t["spk_title"])
        return self.finish(img)

    def option(self, img, y, text, marked):
        d = ImageDraw.Draw(img)
        d.rectangle((404, y, 418, y + 14), fill=(14, 15, 17), outline=(84, 89, 98))
        if marked:
            d.polygon(((407, y + 3), (415, y + 7), (407, y + 11)), fill=AMBER)
        size = art.fit_size(text, 11, 190)
        art.label(img, (425, y + 7), text, size, fill=AMBER if marked else TEXT, anchor="lm")

    def play_glyph(self, img, centre, lit):
        cx, cy = centre
        colour = GREEN_LED if lit else (150, 156, 166)

        def paint(d, s):
            d.polygon(((3 * s, 2 * s), (15 * s, 9 * s), (3 * s, 16 * s)), fill=colour + (255,))

        art.paste_layer(img, art.supersampled(18, 18, paint), cx - 8, cy - 9)

    def pause_glyph(self, img, centre, lit):
        cx, cy = centre
        d = ImageDraw.Draw(img)
        colour = AMBER if lit else (150, 156, 166)
        d.rectangle((cx - 6, cy - 7, cx - 2, cy + 7), fill=colour)
        d.rectangle((cx + 2, cy - 7, cx + 6, cy + 7), fill=colour)

    # ----------------------------------------------------------------- 3D field pictures

    def field_from_behind(self):
        """The room seen from behind the listener: floor grid towards a far wall."""
        w, h = 302, 295
        img = Image.new("RGB", (w, h), (10, 16, 20))
        d = ImageDraw.Draw(img)
        horizon = 96
        for y in range(h):
            k = y / h
            d.line((0, y, w, y), fill=(10 + int(14 * k), 18 + int(20 * k), 24 + int(22 * k)))
        vx = w // 2
        for i in range(-8, 9):
            d.line((vx + i * 10, horizon, vx + i * 60, h), fill=(30, 62, 66))
        y = horizon
        step = 4
        while y < h:
            d.line((0, y, w, y), fill=(30, 62, 66))
            y += step
            step += 3
        d.rectangle((40, 24, w - 40, horizon), outline=(40, 80, 86))
        d.line((0, horizon, w, horizon), fill=(60, 120, 124))
        art.sanitize(img, BLACK, (1, 1, 1))
        return img

    def field_from_above(self):
        """The room from above: rings around the listener's place."""
        w, h = 298, 295
        img = Image.new("RGB", (w, h), (10, 16, 20))
        d = ImageDraw.Draw(img)
        cx, cy = w // 2, h // 2
        for r in range(20, 220, 24):
            d.ellipse((cx - r, cy - r, cx + r, cy + r), outline=(30, 62, 66))
        d.line((cx, 0, cx, h), fill=(40, 80, 86))
        d.line((0, cy, w, cy), fill=(40, 80, 86))
        self.head_from_above(img, (cx, cy), 13)
        art.label(img, (cx, 10), self.t["front"], 9, fill=(60, 120, 124), bold=False, shadow=False)
        art.sanitize(img, BLACK, (1, 1, 1))
        return img

    def head_from_above(self, img, centre, r):
        cx, cy = centre

        def paint(d, s):
            c = (r + 6) * s
            d.ellipse((c - (r + 4) * s, c - 3 * s, c - (r - 2) * s, c + 3 * s),
                      fill=(150, 120, 100, 255))
            d.ellipse((c + (r - 2) * s, c - 3 * s, c + (r + 4) * s, c + 3 * s),
                      fill=(150, 120, 100, 255))
            d.ellipse((c - r * s, c - r * s, c + r * s, c + r * s), fill=(196, 160, 132, 255))
            d.polygon(((c - 3 * s, c - (r - 1) * s), (c, c - (r + 5) * s),
                       (c + 3 * s, c - (r - 1) * s)), fill=(196, 160, 132, 255))
            d.chord((c - r * s, c - r * s, c + r * s, c + r * s), 20, 160,
                    fill=(70, 52, 40, 255))

        size = (r + 6) * 2
        art.paste_layer(img, art.supersampled(size, size, paint), cx - size // 2, cy - size // 2)

    def listening_field(self):
        """The field of the virtual speakers: the default circle and the farthest reach."""
        w, h = 298, 295
        img = Image.new("RGB", (w, h), (10, 14, 22))
        d = ImageDraw.Draw(img)
        cx, cy = 148.5, 147.5  # icon corner (193, 234) plus half an icon, in field pixels
        for r, colour in ((144, (34, 50, 74)), (108, (26, 40, 60)), (63, (60, 90, 130)),
                          (27, (26, 40, 60))):
            d.ellipse((cx - r, cy - r, cx + r, cy + r), outline=colour, width=2 if r == 63 else 1)
        for a in range(0, 360, 45):
            x = cx + 150 * math.cos(math.radians(a))
            y = cy - 150 * math.sin(math.radians(a))
            d.line((cx, cy, x, y), fill=(24, 34, 50))
        self.head_from_above(img, (int(cx), int(cy)), 14)
        art.label(img, (int(cx), 10), self.t["front"], 9, fill=(80, 110, 150), bold=False, shadow=False)
        art.sanitize(img, BLACK, (1, 1, 1))
        return img

    def head_from_behind(self):
        """The listener from behind, on black (transparent)."""
        w, h = 141, 159

        def paint(d, s):
            d.rounded_rectangle((8 * s, 104 * s, 133 * s, 170 * s), 40 * s,
                                fill=(52, 60, 78, 255))
            d.rectangle((56 * s, 86 * s, 85 * s, 112 * s), fill=(150, 118, 96, 255))
            d.ellipse((32 * s, 6 * s, 109 * s, 100 * s), fill=(86, 62, 46, 255))
            d.ellipse((26 * s, 44 * s, 40 * s, 70 * s), fill=(168, 132, 108, 255))
            d.ellipse((101 * s, 44 * s, 115 * s, 70 * s), fill=(168, 132, 108, 255))
            d.arc((30 * s, 4 * s, 111 * s, 96 * s), 200, 340, fill=(210, 170, 120, 255),
                  width=2 * s)
            # the headset
            d.arc((24 * s, 10 * s, 117 * s, 96 * s), 185, 355, fill=(40, 42, 48, 255),
                  width=7 * s)
            d.rounded_rectangle((18 * s, 42 * s, 34 * s, 76 * s), 6 * s, fill=(34, 36, 42, 255))
            d.rounded_rectangle((107 * s, 42 * s, 123 * s, 76 * s), 6 * s,
                                fill=(34, 36, 42, 255))
            d.ellipse((22 * s, 54 * s, 30 * s, 62 * s), fill=AMBER + (255,))
            d.ellipse((111 * s, 54 * s, 119 * s, 62 * s), fill=AMBER + (255,))

        return on_black(art.supersampled(w, h, paint))

    def music_icon(self):
        def paint(d, s):
            d.ellipse((4 * s, 22 * s, 16 * s, 32 * s), fill=(120, 220, 255, 255))
            d.ellipse((20 * s, 18 * s, 32 * s, 28 * s), fill=(120, 220, 255, 255))
            d.rectangle((13 * s, 5 * s, 16 * s, 27 * s), fill=(120, 220, 255, 255))
            d.rectangle((29 * s, 2 * s, 32 * s, 23 * s), fill=(120, 220, 255, 255))
            d.polygon(((13 * s, 5 * s), (32 * s, 1 * s), (32 * s, 7 * s), (13 * s, 11 * s)),
                      fill=(120, 220, 255, 255))

        return on_black(art.supersampled(35, 35, paint))

    def bee_icon(self):
        def paint(d, s):
            d.ellipse((4 * s, 2 * s, 20 * s, 18 * s), fill=(210, 230, 255, 170))
            d.ellipse((20 * s, 2 * s, 36 * s, 18 * s), fill=(210, 230, 255, 170))
            d.ellipse((9 * s, 12 * s, 31 * s, 42 * s), fill=(250, 196, 40, 255))
            for y in (20, 27, 34):
                d.rectangle((9 * s, y * s, 31 * s, (y + 3) * s), fill=(40, 30, 14, 255))
            d.ellipse((13 * s, 6 * s, 27 * s, 16 * s), fill=(60, 44, 20, 255))
            d.polygon(((18 * s, 41 * s), (20 * s, 46 * s), (22 * s, 41 * s)),
                      fill=(40, 30, 14, 255))

        return on_black(art.supersampled(40, 46, paint))

    def speaker_icon(self, index):
        text, _ = SPEAKERS[index]
        colour = SPEAKER_COLOURS[index]

        def paint(d, s):
            d.rounded_rectangle((1 * s, 1 * s, 24 * s - 1, 24 * s - 1), 5 * s,
                                fill=(30, 34, 42, 255), outline=colour + (255,), width=2 * s)

        img = on_black(art.supersampled(25, 25, paint))
        size = 11 if len(text) == 1 else 9
        ImageDraw.Draw(img).text((12.5, 12.5), text, font=art.font("bold", size), fill=colour,
                                 anchor="mm")
        return img

    # ----------------------------------------------------------------- 7.1 window

    def window71(self, pressed=None, mode=None):
        """The 7.1 window's background; `pressed` names a pushed toolbar button, `mode` 1-4
        the selected mode button."""
        w, h = 239, 153
        img = art.brushed_metal(w, h, METAL, 3000).convert("RGB")
        d = ImageDraw.Draw(img)
        d.rectangle((0, 0, w - 1, h - 1), outline=(20, 22, 26))
        d.line((1, 1, w - 2, 1), fill=(130, 136, 146))
        d.rectangle((1, 2, w - 2, 29), fill=(44, 47, 53))
        d.line((1, 30, w - 2, 30), fill=(20, 22, 26))
        art.label(img, (16, 16), self.t["vol"], art.fit_size(self.t["vol"], 9, 28), fill=TEXT_DIM)
        toolbar = {"minus": (32, 7, 50, 23), "plus": (51, 7, 69, 23),
                   1: (88, 4, 123, 25), 2: (124, 4, 160, 25), 3: (161, 4, 196, 25),
                   4: (197, 4, 233, 25), "reset": (0, 32, 36, 53)}
        for key, box in toolbar.items():
            state = "pressed" if key == pressed or key == mode else "normal"
            if key == mode:
                state = "lit"
            art.button(img, box, "", state, radius=3)
            self.toolbar_glyph(img, key, box, state)
        # The level bars sit on a backlit legend screen: Windows draws their labels in the
        # device context's default black, which must stay readable.
        art.rrect(img, (1, 57, 237, 125), 4, (24, 26, 30, 255))
        art.rrect(img, (2, 58, 236, 124), 3, LCD + (255,))
        art.sanitize(img, BLACK, (1, 1, 1))
        return img

    def toolbar_glyph(self, img, key, box, state):
        x0, y0, x1, y1 = box
        cx, cy = (x0 + x1 + 1) / 2, (y0 + y1 + 1) / 2 + (1 if state == "pressed" else 0)
        colour = AMBER if state == "lit" else TEXT
        d = ImageDraw.Draw(img)
        if key in ("minus", "plus"):
            d.rectangle((cx - 4, cy - 1, cx + 3, cy), fill=colour)
            if key == "plus":
                d.rectangle((cx - 1, cy - 4, cx, cy + 3), fill=colour)
        elif key == "reset":
            text = self.t["reset"]
            art.label(img, (cx, cy), text, art.fit_size(text, 10, 33), fill=colour)
        else:
            w, h = 36, 22

            def paint(dd, s):
                c = (w * s / 2, h * s / 2)
                r = 7 * s
                arc_box = (c[0] - r, c[1] - r, c[0] + r, c[1] + r)
                ink = colour + (255,)
                if key in (1, 2):
                    dd.arc(arc_box, 40, 320, fill=ink, width=2 * s)
                    tip = (c[0] + r * math.cos(math.radians(40)), c[1] - r * math.sin(
                        math.radians(40)))
                    if key == 1:  # counter-clockwise: the arrow at the upper end
                        tip = (c[0] + r * math.cos(math.radians(40)),
                               c[1] - r * math.sin(math.radians(40)))
                        dd.polygon(((tip[0] - 4 * s, tip[1] - 3 * s), (tip[0] + 3 * s, tip[1]),
                                    (tip[0] - 3 * s, tip[1] + 3 * s)), fill=ink)
                    else:
                        tip = (c[0] + r * math.cos(math.radians(-40)),
                               c[1] - r * math.sin(math.radians(-40)))
                        dd.polygon(((tip[0] - 4 * s, tip[1] + 3 * s), (tip[0] + 3 * s, tip[1]),
                                    (tip[0] - 3 * s, tip[1] - 3 * s)), fill=ink)
                elif key == 3:
                    dd.ellipse(arc_box, outline=ink, width=2 * s)
                    dd.ellipse((c[0] - 2 * s, c[1] - 2 * s, c[0] + 2 * s, c[1] + 2 * s), fill=ink)
                    dd.polygon(((c[0] - 3 * s, c[1] - r - 3 * s), (c[0] + 3 * s, c[1] - r),
                                (c[0] - 3 * s, c[1] - r + 3 * s)), fill=ink)
                else:
                    for ax, ay in ((0, -1), (0, 1), (-1, 0), (1, 0)):
                        ex, ey = c[0] + ax * 8 * s, c[1] + ay * 8 * s
                        dd.line((c[0], c[1], ex, ey), fill=ink, width=2 * s)
                        px, py = -ay, ax
                        dd.polygon(((ex + ax * 2 * s, ey + ay * 2 * s),
                                    (ex - ax * 3 * s + px * 3 * s, ey - ay * 3 * s + py * 3 * s),
                                    (ex - ax * 3 * s - px * 3 * s, ey - ay * 3 * s - py * 3 * s)),
                                   fill=ink)

            art.paste_layer(img, art.supersampled(w, h, paint), int(cx - w / 2), int(cy - h / 2))

    # ----------------------------------------------------------------- all bitmaps

    def bitmaps(self):
        """Every bitmap id of the skin, as Pillow RGB images."""
        b = {}
        eq = self.equalizer()
        b[1042] = eq
        b[1036] = self.knob()
        b[1044] = crop(self.equalizer(enable_lit=True), 273, 84, 81, 29)
        for key, bid in (("load", 1045), ("reset", 1048), ("save", 1033), ("delete", 1039)):
            x, y, w, h = EQ_BUTTONS[key]
            b[bid] = crop(self.equalizer(pressed=key), x, y, w, h)
        grey = self.equalizer(grey=True)
        for index, (lit_id, grey_id, y) in enumerate(zip((1034, 1037, 1046, 1040, 1049),
                                                         (1035, 1038, 1047, 1041, 1050),
                                                         PRESET_Y)):
            b[lit_id] = crop(self.equalizer(preset_lit=index), 69, y, 48, 48)
            b[grey_id] = crop(grey, 69, y, 51, 51)
        for sf_type, bid in ((0, 1081), (1, 1079), (2, 1078), (3, 1080), (4, 1082)):
            b[bid] = self.sound_field(sf_type)
        b[1062] = self.microphone()
        b[1061] = self.knob(accent=(96, 230, 120))
        b[1059] = crop(self.microphone(boost=True), 410, 198, 116, 37)
        b[1063] = crop(self.microphone(mute=True), 411, 298, 109, 43)
        b[1057] = self.meter_track()
        b[1058] = self.meter_segment()
        b[1023] = self.speaker_test()
        b[1125] = self.speaker_test(open71=True)
        b[1109] = crop(self.speaker_test(open71=True, v71_lit=True), 397, 85, 100, 39)
        b[1108] = self.listening_field()
        for i in range(8):
            b[1117 + i] = self.speaker_icon(i)
        b[1022] = crop(self.speaker_test(source=0), 404, 180, 15, 15)
        b[1026] = self.field_from_above()
        b[1027] = self.field_from_behind()
        b[1018] = self.music_icon()
        b[1021] = self.bee_icon()
        b[1025] = self.head_from_behind()
        b[1029] = crop(self.speaker_test(play_lit=True), 38, 394, 51, 30)
        b[1017] = crop(self.speaker_test(pause_lit=True), 327, 394, 55, 30)
        b[1113] = self.window71()
        b[1114] = self.toolbar_strip({"minus": (32, 7, 19, 18), "plus": (51, 7, 19, 18)},
                                     (40, 18), lambda key: self.window71(pressed=key),
                                     {"minus": 0, "plus": 19})
        modes = {m: ((88, 124, 161, 197)[m - 1], 4, (36, 37, 36, 37)[m - 1], 24)
                 for m in (1, 2, 3, 4)}
        b[1115] = self.toolbar_strip(modes, (150, 24), lambda m: self.window71(mode=m),
                                     {m: 36 * (m - 1) for m in (1, 2, 3, 4)})
        reset = Image.new("RGB", (37, 25), (44, 47, 53))
        reset.paste(crop(self.window71(pressed="reset"), 0, 32, 37, 22), (0, 2))
        b[1116] = reset
        return b

    def toolbar_strip(self, rects, size, render, offsets):
        strip = Image.new("RGB", size, (44, 47, 53))
        for key, (x, y, w, h) in rects.items():
            picture = render(key)
            strip.paste(crop(picture, x, y, w, min(h, picture.height - y)), (offsets[key], 0))
        return strip


def on_black(layer):
    """An RGBA drawing on pure black; the drawing itself never uses pure black."""
    img = Image.new("RGB", layer.size, BLACK)
    img.paste(layer, (0, 0), layer)
    alpha = layer.split()[3]
    solid = alpha.point(lambda v: 255 if v > 0 else 0)
    lifted = img.copy()
    art.sanitize(lifted, BLACK, (1, 1, 1))
    img.paste(lifted, (0, 0), solid)
    return img
