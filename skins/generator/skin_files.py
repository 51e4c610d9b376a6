"""File formats of the skins' resources, written byte by byte so the output never depends on
an encoder's defaults: 24-bit BMP, 32-bit icons with their masks, RIFF PCM waves; and the
synthesized test sounds, the tray icons and the panel's logo."""

import math
import random
import struct

from PIL import Image, ImageDraw

import skin_art as art

RATE = 22050
BEE_BYTES = 301510
MUSIC_BYTES = 317002


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def bmp_bytes(image):
    """A bottom-up 24-bit BI_RGB bitmap file; the resource compiler drops the file header."""
    image = image.convert("RGB")
    w, h = image.size
    r, g, b = image.split()
    bgr = Image.merge("RGB", (b, g, r)).tobytes()
    stride = (w * 3 + 3) & ~3
    pad = b"\0" * (stride - w * 3)
    rows = [bgr[y * w * 3:(y + 1) * w * 3] + pad for y in range(h - 1, -1, -1)]
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 0, 0, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def ico_bytes(images):
    """An icon file with one 32-bit image (BGRA and AND mask) per size."""
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for image in images:
        image = image.convert("RGBA")
        w, h = image.size
        r, g, b, a = image.split()
        bgra = Image.merge("RGBA", (b, g, r, a)).tobytes()
        xor = b"".join(bgra[y * w * 4:(y + 1) * w * 4] for y in range(h - 1, -1, -1))
        mask_stride = ((w + 31) // 32) * 4
        alpha = a.tobytes()
        mask_rows = []
        for y in range(h - 1, -1, -1):
            bits = bytearray(mask_stride)
            for x in range(w):
                if alpha[y * w + x] == 0:
                    bits[x // 8] |= 0x80 >> (x % 8)
            mask_rows.append(bytes(bits))
        info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask_rows) *
                           mask_stride, 0, 0, 0, 0)
        blob = info + xor + b"".join(mask_rows)
        entries.append(struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(blobs)


def wave_bytes(samples, total_bytes):
    """A canonical 44-byte-header RIFF/WAVE file, PCM mono 16-bit, of exactly total_bytes."""
    data_bytes = total_bytes - 44
    assert data_bytes == 2 * len(samples)
    fmt = struct.pack("<HHIIHH", 1, 1, RATE, RATE * 2, 2, 16)
    header = (b"RIFF" + struct.pack("<I", total_bytes - 8) + b"WAVE" + b"fmt " +
              struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", data_bytes))
    return header + struct.pack("<%dh" % len(samples), *samples)


def to_pcm(signal, peak=0.72):
    top = max(abs(v) for v in signal) or 1.0
    scale = peak * 32767 / top
    return [max(-32768, min(32767, int(round(v * scale)))) for v in signal]


def fade(signal, samples):
    for i in range(samples):
        k = i / samples
        signal[i] *= k
        signal[-1 - i] *= k


def bee_wave():
    """A honey bee flying past and around: a buzzing sawtooth near 220 Hz whose pitch and
    loudness wander with the flight, with the wings' rough edge added as noise."""
    n = (BEE_BYTES - 44) // 2
    rng = random.Random(1071)
    out = [0.0] * n
    phase = 0.0
    rough = 0.0
    for i in range(n):
        t = i / RATE
        f = 218 + 16 * math.sin(2 * math.pi * 0.31 * t) + 7 * math.sin(2 * math.pi * 1.7 * t + 1)
        f += 2.5 * math.sin(2 * math.pi * 11 * t)
        phase += f / RATE
        p = phase % 1.0
        v = 0.0
        for k in range(1, 9):
            v += math.sin(2 * math.pi * k * p) / k
        rough = 0.85 * rough + 0.15 * (rng.random() - 0.5)
        loud = 0.55 + 0.45 * math.sin(2 * math.pi * 0.23 * t) ** 2
        out[i] = (v + 0.9 * rough) * loud * (1 + 0.25 * math.sin(2 * math.pi * p * 2))
    fade(out, 600)
    return wave_bytes(to_pcm(out), BEE_BYTES)


NOTE = {name: 440.0 * 2 ** ((index - 9) / 12.0) for index, name in enumerate(
    ("C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"))}


def music_wave():
    """Four bars of a little tune (A minor, F, C, G) that loops: plucked arpeggios, a bass,
    a soft kick and a hi-hat. Sixteen beats fill the file; the few samples left are silence."""
    n = (MUSIC_BYTES - 44) // 2
    beat = n // 16
    out = [0.0] * n
    rng = random.Random(1072)
    chords = (("A", "C", "E"), ("F", "A", "C"), ("C", "E", "G"), ("G", "B", "D"))

    def add_tone(start, length, freq, amp, decay, harmonics):
        for i in range(min(length, n - start)):
            t = i / RATE
            env = amp * math.exp(-decay * t) * min(1.0, i / 40.0)
            v = 0.0
            for k, h in enumerate(harmonics, 1):
                v += h * math.sin(2 * math.pi * freq * k * t)
            out[start + i] += env * v

    for bar, chord in enumerate(chords):
        root = NOTE[chord[0]] / 4
        for b in range(4):
            start = (bar * 4 + b) * beat
            add_tone(start, beat, root, 0.55, 5.0, (1.0, 0.35, 0.12))
            # kick on the first and third beat
            if b in (0, 2):
                for i in range(min(2600, n - start)):
                    t = i / RATE
                    f = 48 + 80 * math.exp(-30 * t)
                    out[start + i] += 0.8 * math.exp(-22 * t) * math.sin(2 * math.pi * f * t)
            # hi-hat on the off-beat
            hat = start + beat // 2
            prev = 0.0
            for i in range(min(900, n - hat)):
                white = rng.random() - 0.5
                out[hat + i] += 0.22 * math.exp(-i / 160.0) * (white - prev)
                prev = white
            # the arpeggio: eighth notes up the chord
            for e in range(2):
                name = chord[(b * 2 + e) % 3]
                freq = NOTE[name] * (2 if (b * 2 + e) % 3 != 0 or e else 1)
                add_tone(start + e * (beat // 2), beat, freq, 0.42, 6.5, (1.0, 0.5, 0.25, 0.12))
    fade(out, 200)
    return wave_bytes(to_pcm(out), MUSIC_BYTES)


def headset(size, present):
    """The tray icon: a headset, amber with a green lamp when the device is there, grey with a
    red cross when it is not."""
    def paint(d, s):
        u = size * s / 32.0

        def box(x0, y0, x1, y1):
            return (x0 * u, y0 * u, x1 * u, y1 * u)

        ink = (255, 170, 50, 255) if present else (150, 154, 160, 255)
        d.arc(box(4, 3, 28, 27), 180, 360, fill=ink, width=int(3.4 * u))
        d.rounded_rectangle(box(2, 14, 10, 28), 3 * u, fill=ink)
        d.rounded_rectangle(box(22, 14, 30, 28), 3 * u, fill=ink)
        d.rounded_rectangle(box(4, 16, 8, 26), 2 * u, fill=(40, 40, 44, 255))
        d.rounded_rectangle(box(24, 16, 28, 26), 2 * u, fill=(40, 40, 44, 255))
        if present:
            d.ellipse(box(19, 19, 31, 31), fill=(20, 20, 24, 255))
            d.ellipse(box(21, 21, 29, 29), fill=(90, 230, 110, 255))
        else:
            d.ellipse(box(18, 18, 31, 31), fill=(200, 40, 36, 255))
            d.line(box(21.5, 21.5, 27.5, 27.5), fill=(255, 255, 255, 255), width=int(2.2 * u))
            d.line(box(21.5, 27.5, 27.5, 21.5), fill=(255, 255, 255, 255), width=int(2.2 * u))

    return art.supersampled(size, size, paint)


def tray_icon(present):
    return ico_bytes([headset(16, present), headset(32, present)])


def panel_logo():
    """The panel's logo, 150 by 36, on pure green (cut away when drawn): a dark badge with the
    product's name and a waveform. The badge's edge is hard so no green-tinted pixel remains."""
    w, h = 150, 36
    img = Image.new("RGB", (w, h), art.GREEN)
    badge = Image.new("RGB", (w, h), (30, 32, 38))
    face = art.gradient_face(w - 2, h - 2, (70, 74, 84), (28, 30, 36), 8)
    badge.paste(face, (1, 1), face)
    d = ImageDraw.Draw(badge)
    points = [(8 + i, 18 - int(9 * math.sin(i / 3.0) * math.exp(-((i - 16) / 10.0) ** 2)))
              for i in range(33)]
    d.line(points, fill=art.AMBER, width=2)
    d.text((46, 17), "AMPFX", font=art.font("bold", 19), fill=(236, 240, 246), anchor="lm")
    d.text((116, 27), "SUITE", font=art.font("bold", 8), fill=art.AMBER, anchor="mm")
    mask = art.hard_mask(w, h, lambda dd, s: dd.rounded_rectangle(
        (0, 0, w * s - 1, h * s - 1), 9 * s, fill=(255, 255, 255, 255)))
    art.sanitize(badge, art.GREEN, (0, 254, 0))
    img.paste(badge, (0, 0), mask)
    return img
