#!/usr/bin/python3
"""Pre- and post-processing for the PP-OCR text networks, in numpy only, for the demo.

  ocr.py recognition-input IMAGE OUT.npy   a text line image -> the recognition network's input
  ocr.py decode OUT.npy KEYS               the recognition network's output -> the text (greedy CTC)
  ocr.py detection-input IMAGE OUT.npy     a page image -> the detection network's input
  ocr.py detection-map OUT.npy PNG         the detection network's output -> a grey picture of it
  ocr.py lines OUT.npy PAGE DIR            crops each text line the detection found out of the detection
                                           input's page, as DIR/line_N.png, top to bottom

Images are read and written through ImageMagick's `convert`, as raw 8-bit pixels.
"""
import subprocess
import sys

import numpy as np

REC_HEIGHT = 48  # the recognition network's fixed input height


def read_pixels(image, geometry):
    """The image resized with ImageMagick `geometry`, as an array of rows of (B, G, R) bytes."""
    size = subprocess.run(["convert", image, "-resize", geometry, "-format", "%w %h", "info:"],
                          check=True, capture_output=True, text=True).stdout.split()
    width, height = int(size[0]), int(size[1])
    raw = subprocess.run(["convert", image, "-resize", geometry, "-background", "white", "-alpha", "remove",
                          "-depth", "8", "bgr:-"], check=True, capture_output=True).stdout
    return np.frombuffer(raw, dtype=np.uint8).reshape(height, width, 3)


def to_input(pixels):
    """(B, G, R) bytes -> 1 x 3 x H x W float32 in [-1, 1], as PP-OCR normalises."""
    chw = pixels.astype(np.float32).transpose(2, 0, 1) / 255.0
    return ((chw - 0.5) / 0.5)[np.newaxis]


def recognition_input(image, out):
    # Height 48 and the width that keeps the aspect ratio: the network leaves the width open.
    np.save(out, to_input(read_pixels(image, f"x{REC_HEIGHT}")))


def detection_input(image, out):
    # The detection network wants sides that are multiples of 32.
    pixels = read_pixels(image, "640x640")
    height, width = (-(-s // 32) * 32 for s in pixels.shape[:2])
    padded = np.full((height, width, 3), 255, dtype=np.uint8)
    padded[:pixels.shape[0], :pixels.shape[1]] = pixels
    np.save(out, to_input(padded))


def decode(output, keys):
    """Greedy CTC: the likeliest class at each step, repeats merged, blanks (class 0) dropped. The classes
    are the blank, the key file's characters in order, then a space."""
    with open(keys, encoding="utf-8") as f:
        characters = ["<blank>"] + [line.rstrip("\n") for line in f] + [" "]
    scores = np.load(output)[0]
    if scores.shape[-1] != len(characters):
        sys.exit(f"{output}: {scores.shape[-1]} classes, but {keys} gives {len(characters)}")
    best = scores.argmax(axis=-1)
    text = []
    previous = 0
    for index in best:
        if index != previous and index != 0:
            text.append(characters[index])
        previous = index
    print("".join(text))


def detection_map(output, png):
    probabilities = np.load(output)[0, 0]
    grey = (np.clip(probabilities, 0.0, 1.0) * 255).astype(np.uint8)
    height, width = grey.shape
    subprocess.run(["convert", "-size", f"{width}x{height}", "-depth", "8", "gray:-", png],
                   input=grey.tobytes(), check=True)


def lines(output, page, folder):
    """Text lines as bands of rows where the map finds text. The network marks a shrunk core of each line,
    so a band is grown by its own height before cropping, as PP-OCR's post-processing does with its boxes."""
    text = np.load(output)[0, 0] > 0.3
    rows = np.flatnonzero(text.any(axis=1))
    if rows.size == 0:
        return
    bands = np.split(rows, np.flatnonzero(np.diff(rows) > 1) + 1)
    # The map covers the page as detection-input scaled it; crops are taken from that same scaled page.
    height, width = text.shape
    for number, band in enumerate(bands):
        top, bottom = band[0], band[-1] + 1
        columns = np.flatnonzero(text[top:bottom].any(axis=0))
        grow = bottom - top
        left, right = max(columns[0] - grow, 0), min(columns[-1] + 1 + grow, width)
        top, bottom = max(top - grow, 0), min(bottom + grow, height)
        subprocess.run(["convert", page, "-resize", "640x640", "-background", "white", "-extent",
                        f"{width}x{height}", "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage",
                        f"{folder}/line_{number}.png"], check=True)


def main():
    commands = {"recognition-input": recognition_input, "detection-input": detection_input, "decode": decode,
                "detection-map": detection_map, "lines": lines}
    arguments = {"lines": 3}
    if len(sys.argv) < 2 or sys.argv[1] not in commands or len(sys.argv) != 2 + arguments.get(sys.argv[1], 2):
        sys.exit(__doc__)
    commands[sys.argv[1]](*sys.argv[2:])


if __name__ == "__main__":
    main()
