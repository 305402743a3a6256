#!/usr/bin/env python3
"""Prints the application manifest embedded in a Windows program (resource type RT_MANIFEST,
id 1) and checks that it asks to run at the invoking user's level without elevation.

Usage: pe-manifest.py PROGRAM.exe...   Exit status 0 when every program passes."""
import re
import struct
import sys

RT_MANIFEST = 24


def sections(pe):
    (e_lfanew,) = struct.unpack_from("<I", pe, 0x3C)
    if pe[:2] != b"MZ" or pe[e_lfanew:e_lfanew + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    coff = e_lfanew + 4
    count, opt_size = struct.unpack_from("<H", pe, coff + 2)[0], struct.unpack_from("<H", pe, coff + 16)[0]
    opt = coff + 20
    magic = struct.unpack_from("<H", pe, opt)[0]
    dirs = opt + (112 if magic == 0x20B else 96)
    res_rva, _ = struct.unpack_from("<II", pe, dirs + 2 * 8)
    table = opt + opt_size
    out = []
    for i in range(count):
        _, vsize, vaddr, rsize, rptr = struct.unpack_from("<8sIIII", pe, table + 40 * i)
        out.append((vaddr, max(vsize, rsize), rptr))
    return res_rva, out


def rva_to_offset(rva, secs):
    for vaddr, size, rptr in secs:
        if vaddr <= rva < vaddr + size:
            return rptr + rva - vaddr
    raise ValueError("address 0x%x lies in no section" % rva)


def entries(pe, base, offset):
    named, ids = struct.unpack_from("<HH", pe, offset + 12)
    for i in range(named + ids):
        name, target = struct.unpack_from("<II", pe, offset + 16 + 8 * i)
        yield name, target


def manifest(path):
    pe = open(path, "rb").read()
    res_rva, secs = sections(pe)
    if res_rva == 0:
        return None
    base = rva_to_offset(res_rva, secs)
    for type_id, t in entries(pe, base, base):
        if type_id != RT_MANIFEST or not t & 0x80000000:
            continue
        for name_id, n in entries(pe, base, base + (t & 0x7FFFFFFF)):
            if name_id != 1 or not n & 0x80000000:
                continue
            for _, leaf in entries(pe, base, base + (n & 0x7FFFFFFF)):
                data_rva, size = struct.unpack_from("<II", pe, base + leaf)
                start = rva_to_offset(data_rva, secs)
                return pe[start:start + size].decode("utf-8")
    return None


def main():
    ok = True
    for path in sys.argv[1:]:
        text = manifest(path)
        if text is None:
            print("%s: no application manifest (RT_MANIFEST id 1)" % path)
            ok = False
            continue
        level = re.search(r'requestedExecutionLevel\s+level="([^"]+)"(?:\s+uiAccess="([^"]+)")?', text)
        if not level or level.group(1) != "asInvoker" or (level.group(2) or "false") != "false":
            print("%s: manifest does not request asInvoker without UI access" % path)
            ok = False
        else:
            print("%s: manifest requests %s, uiAccess=%s" % (path, level.group(1), level.group(2) or "false"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
