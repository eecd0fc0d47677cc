#!/usr/bin/env python3
"""dpi-check.py FOLDER: checks the screenshots dpi-test.sh took.

FOLDER holds one folder per screen density (96, 144, 192), each with
progress.ppm, msgbox.ppm and uninstall.ppm. At 144 and 192 DPI each window
must measure its logical size times the factor, and each text must lie
inside its label, clear of the window's edge, as large in logical pixels as
at 96 DPI: a text that kept its 100 % pixels in a larger window, or outgrew a
label that kept its pixels, and so was cut off, fails. Exit code 0 when
everything holds.
"""
import sys

# Logical sizes and, per window, the texts: (name, label rectangle, area
# searched for its ink, kind of ink). Rectangles are x, y, width, height in
# logical pixels. The areas keep off the windows' shadow margins, which an
# X screen without compositing shows black.
WINDOWS = {
    "msgbox": ((322, 162), [
        ("text", (78, 60, 222, 50), (60, 33, 256, 88), "dark"),
        ("title", (0, 0, 272, 30), (4, 4, 268, 26), "white"),
        ("link", (28, 136, 294, 26), (4, 123, 200, 39), "green"),
    ]),
    "progress": ((536, 337), [
        ("label", (40, 270, 461, 23), (10, 250, 516, 60), "dark"),
    ]),
    "uninstall": ((536, 337), [
        ("title", (29, 21, 201, 16), (4, 4, 296, 50), "white"),
    ]),
}


def is_ink(kind, r, g, b):
    if kind == "dark":
        return 0.299 * r + 0.587 * g + 0.114 * b < 110
    if kind == "white":
        return r > 225 and g > 225 and b > 225
    return g > r + 40 and g > b + 20  # the link's green


def read_ppm(path):
    with open(path, "rb") as file:
        data = file.read()
    fields = []
    position = 0
    while len(fields) < 4:
        while data[position:position + 1].isspace():
            position += 1
        if data[position:position + 1] == b"#":
            position = data.index(b"\n", position)
            continue
        end = position
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[position:end])
        position = end
    if fields[0] != b"P6" or int(fields[3]) != 255:
        raise ValueError(path + ": not an 8-bit binary PPM")
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[position + 1:position + 1 + 3 * width * height]


def scaled(rect, factor):
    x, y, w, h = rect
    return (round(x * factor), round(y * factor), round((x + w) * factor),
            round((y + h) * factor))


def ink_box(image, area, kind, factor):
    """The bounding box (left, top, right, bottom; device pixels, right and
    bottom exclusive) of the ink within area, or None."""
    width, height, pixels = image
    left, top, right, bottom = scaled(area, factor)
    box = None
    for y in range(max(top, 0), min(bottom, height)):
        row = 3 * y * width
        for x in range(max(left, 0), min(right, width)):
            r, g, b = pixels[row + 3 * x:row + 3 * x + 3]
            if is_ink(kind, r, g, b):
                if box is None:
                    box = [x, y, x + 1, y + 1]
                else:
                    box = [min(box[0], x), min(box[1], y), max(box[2], x + 1),
                           max(box[3], y + 1)]
    return box


def main():
    folder = sys.argv[1]
    problems = []
    reference = {}
    for dpi in (96, 144, 192):
        factor = dpi / 96
        for window, (size, texts) in WINDOWS.items():
            image = read_ppm("%s/%d/%s.ppm" % (folder, dpi, window))
            where = "%s at %d DPI" % (window, dpi)
            expected = (round(size[0] * factor), round(size[1] * factor))
            if abs(image[0] - expected[0]) > 2 or abs(image[1] - expected[1]) > 2:
                problems.append("%s: %dx%d pixels, not %dx%d" %
                                (where, image[0], image[1], *expected))
                continue
            for name, label, area, kind in texts:
                box = ink_box(image, area, kind, factor)
                if box is None:
                    problems.append("%s: the %s shows no text" % (where, name))
                    continue
                left, top, right, bottom = scaled(label, factor)
                if box[0] < left - 1 or box[2] > right + 1 or box[1] < top - 1 \
                        or box[3] > bottom + 1:
                    problems.append("%s: the %s's text lies outside its label" %
                                    (where, name))
                # Ink in the window's last row is a glyph its edge cuts.
                if box[3] >= image[1]:
                    problems.append("%s: the window's edge cuts the %s's text" %
                                    (where, name))
                # In logical pixels, the ink is as wide and as high as at
                # 100 %: same lines, nothing cut off.
                logical = [value / factor for value in box]
                if dpi == 96:
                    reference[(window, name)] = logical
                    continue
                seen = reference.get((window, name))
                if seen is None:
                    continue
                for edge, now, then in zip(("left", "top", "right", "bottom"), logical,
                                           seen):
                    if abs(now - then) > 4:
                        problems.append("%s: the %s's %s edge is at %.1f, at 96 DPI %.1f"
                                        % (where, name, edge, now, then))
    for problem in problems:
        print("dpi-check: " + problem, file=sys.stderr)
    if not problems:
        print("dpi-check: the windows scale as a whole at 144 and 192 DPI")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
