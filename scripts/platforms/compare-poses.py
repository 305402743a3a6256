#!/usr/bin/env python3
"""Compares two match_poses outputs: the same number of matches per image, each paired with the
nearest match of the other output, positions within 1e-3 pixels. Prints the largest differences. Usage: compare-poses.py REFERENCE OTHER LABEL"""
import sys

TOLERANCE_PX = 1e-3


def read(path):
    rows = []
    for line in open(path):
        f = line.split()
        if len(f) == 7:
            rows.append((int(f[0]),) + tuple(float(v) for v in f[1:]))
    return rows


def main():
    ref, other, label = read(sys.argv[1]), read(sys.argv[2]), sys.argv[3]
    per_image = lambda rows: [sum(1 for r in rows if r[0] == i) for i in range(1, 5)]
    if per_image(ref) != per_image(other):
        print("%s: matches per image %s, native %s" % (label, per_image(other), per_image(ref)))
        return 1
    worst = [0.0] * 6
    pairs = []
    for i in range(1, 5):
        left = [r for r in other if r[0] == i]
        for a in (r for r in ref if r[0] == i):
            b = min(left, key=lambda r: (r[1] - a[1]) ** 2 + (r[2] - a[2]) ** 2)
            left.remove(b)
            pairs.append((a, b))
    for a, b in pairs:
        for k in range(6):
            worst[k] = max(worst[k], abs(a[k + 1] - b[k + 1]))
    print("%s: %d matches (per image %s) as native; largest differences: position %.2g px, "
          "angle %.2g rad, scales %.2g/%.2g, score %.2g"
          % (label, len(ref), per_image(ref), max(worst[0], worst[1]), worst[2], worst[3],
             worst[4], worst[5]))
    if max(worst[0], worst[1]) > TOLERANCE_PX:
        print("%s: positions differ by more than %g px" % (label, TOLERANCE_PX))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
