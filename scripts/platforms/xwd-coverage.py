#!/usr/bin/env python3
"""Prints the share of pixels that are not black in an X window dump (xwd, ZPixmap with 24 or
32 bits per pixel), as a number from 0 to 1. Usage: xwd-coverage.py DUMP.xwd"""
import struct
import sys


def main():
    data = open(sys.argv[1], "rb").read()
    fields = struct.unpack_from(">25I", data, 0)
    header_size, _, pixmap_format, _, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    ncolors = fields[19]
    if pixmap_format != 2 or bits_per_pixel not in (24, 32):
        sys.exit("unsupported window dump (format %d, %d bits per pixel)" % (pixmap_format, bits_per_pixel))
    start = header_size + 12 * ncolors
    step = bits_per_pixel // 8
    lit = 0
    for y in range(height):
        row = data[start + y * bytes_per_line:start + y * bytes_per_line + width * step]
        for x in range(0, len(row), step):
            pixel = row[x:x + step]
            # Any of the colour bytes above a dark threshold counts, whatever the byte order.
            rgb = pixel[:3] if byte_order == 0 else pixel[-3:]
            if max(rgb) > 16:
                lit += 1
    print("%.3f" % (lit / float(width * height) if width and height else 0.0))


if __name__ == "__main__":
    main()
