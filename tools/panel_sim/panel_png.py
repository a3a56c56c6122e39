"""Draws the reference panel as its simulated display lights it, into a PNG: the firmware runs on
the simulated chip (panel-sim), gets the frame pair of the first page of a page file (by default
the example pages, packaging/pages.txt) and draws it; each pixel of the display model's image is
shown as a dot of the OLED's amber at the brightness its grey level gives, 4 screen pixels a dot,
so that the cells and the inverted marks show.

    panel_png.py --sim PANEL_SIM --elf FIRMWARE_ELF [--pages FILE] [--out PNG]
    panel_png.py ... --check PNG     the PNG's pixels must be what it draws

Exit status: 0 with the PNG written (or, with --check, equal); 1 otherwise; 77 when panel-sim
(simavr) or the ELF is missing (the reason on standard error), or 1 then where
PANEL_RELAY_REQUIRE_FIRMWARE=1."""

import argparse
import os
import subprocess
import sys
import tempfile

from PIL import Image

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCALE = 4  # screen pixels a display pixel
BORDER = 12  # the glass around the active area
LIT = (255, 176, 0)  # amber, full brightness
GLASS = (10, 9, 8)  # an unlit pixel
GAP = (0, 0, 0)
SKIPPED = 77


def first_page(page_file):
    """The page file's lines up to its second page: comments, the first page and its rows."""
    with open(page_file, encoding="utf-8") as pages:
        lines = pages.read().splitlines()
    starts = [at for at, line in enumerate(lines) if line.strip() == "page"]
    if not starts:
        raise RuntimeError(f"{page_file} has no page")
    end = starts[1] if len(starts) > 1 else len(lines)
    return "\n".join(lines[:end]) + "\n"


def display_image(sim, elf, page_file):
    """The display model's image (mode L: brightness 0..255 a pixel) after the page is drawn."""
    with tempfile.TemporaryDirectory(prefix="panel-png-") as work:
        pages = os.path.join(work, "page.txt")
        with open(pages, "w", encoding="utf-8") as out:
            out.write(first_page(page_file))
        image_path = os.path.join(work, "display.pgm")
        run = subprocess.run([sim, "--elf", elf, "--pages", pages, "--image", image_path],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        if run.returncode != 0 or not any(line.startswith("page 0 cycles")
                                          for line in run.stdout.splitlines()):
            raise RuntimeError(f"panel-sim did not draw the page: {run.stdout}{run.stderr}")
        with Image.open(image_path) as image:
            image.load()
            return image.copy()


def picture_of(display):
    width, height = display.size
    picture = Image.new("RGB", (width * SCALE + 2 * BORDER, height * SCALE + 2 * BORDER), GAP)
    pixels = display.load()
    for y in range(height):
        for x in range(width):
            level = pixels[x, y] / 255
            colour = tuple(round(g + (lit - g) * level) for g, lit in zip(GLASS, LIT))
            left, top = BORDER + x * SCALE, BORDER + y * SCALE
            picture.paste(colour, (left, top, left + SCALE - 1, top + SCALE - 1))
    return picture


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument("--sim", required=True, help="panel-sim")
    parser.add_argument("--elf", required=True, help="the firmware's ELF")
    parser.add_argument("--pages", default=os.path.join(TOP, "packaging", "pages.txt"))
    parser.add_argument("--out", default=os.path.join(TOP, "docs", "panel.png"))
    parser.add_argument("--check", metavar="PNG", help="compare with this PNG instead of writing")
    options = parser.parse_args()
    missing = [path for path in (options.sim, options.elf) if not os.path.exists(path)]
    if missing:
        print(f"panel-png: missing {', '.join(missing)} (panel-sim is built where libsimavr-dev "
              "is installed; the firmware by cmake --preset firmware)", file=sys.stderr)
        return 1 if os.environ.get("PANEL_RELAY_REQUIRE_FIRMWARE") == "1" else SKIPPED
    try:
        picture = picture_of(display_image(options.sim, options.elf, options.pages))
    except (RuntimeError, OSError, subprocess.TimeoutExpired) as error:
        print(f"panel-png: {error}", file=sys.stderr)
        return 1
    if options.check is None:
        picture.save(options.out, optimize=True)
        print(f"panel-png: wrote {options.out}")
        return 0
    try:
        with Image.open(options.check) as committed:
            same = (committed.size == picture.size
                    and committed.convert("RGB").tobytes() == picture.tobytes())
    except OSError as error:
        print(f"panel-png: cannot read {options.check}: {error}", file=sys.stderr)
        return 1
    if not same:
        print(f"panel-png: {options.check} is not what the simulated display draws now; "
              "remake it with scripts/panel-png", file=sys.stderr)
        return 1
    print(f"panel-png: {options.check} shows what the simulated display draws")
    return 0


if __name__ == "__main__":
    sys.exit(main())
