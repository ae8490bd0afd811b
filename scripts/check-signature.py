#!/usr/bin/env python3
"""Checks the ad-hoc code signatures of Mach-O files without a Mac.

Usage: check-signature.py FILE...

Every arm64 slice must carry a signature (Apple silicon runs nothing without
one) and every signature found must still match: the CodeDirectory's hash of
each page up to the signature, and of each blob it names by a special slot.
An edit after linking that did not sign again (install_name_tool, strip, a
byte changed) shows as a page whose hash no longer matches. One line per
fault; exit status 1 if there was any.
"""
import hashlib
import struct
import sys

ARM64 = 0x0100000C
NAMES = {ARM64: "arm64", 0x01000007: "x86_64"}
LC_CODE_SIGNATURE = 0x1D
HASHES = {1: hashlib.sha1, 2: hashlib.sha256}


def slices(data):
    """(cpu type, bytes) of each architecture in a thin or universal file."""
    if data[:4] == b"\xca\xfe\xba\xbe":
        count, = struct.unpack_from(">I", data, 4)
        for i in range(count):
            cpu, _, offset, size, _ = struct.unpack_from(">iiIII", data, 8 + 20 * i)
            yield cpu & 0xFFFFFFFF, data[offset:offset + size]
    elif data[:4] == b"\xcf\xfa\xed\xfe":
        yield struct.unpack_from("<I", data, 4)[0], data
    else:
        raise ValueError("not a 64-bit Mach-O file")


def signature_faults(macho):
    """The faults of one slice's signature; None when it has none."""
    ncmds, = struct.unpack_from("<I", macho, 16)
    at = 32
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<II", macho, at)
        if cmd == LC_CODE_SIGNATURE:
            dataoff, datasize = struct.unpack_from("<II", macho, at + 8)
            break
        at += size
    else:
        return None
    blob = macho[dataoff:dataoff + datasize]
    magic, _, count = struct.unpack_from(">III", blob, 0)
    if magic != 0xFADE0CC0:
        return ["the signature is not a SuperBlob"]
    index = dict(struct.unpack_from(">II", blob, 12 + 8 * i) for i in range(count))
    if 0 not in index:
        return ["the signature has no CodeDirectory"]
    cd = blob[index[0]:]
    (magic, _, _, _, hash_at, _, special, slots, limit, hash_size, hash_type, _,
     page_shift) = struct.unpack_from(">7I2I4B", cd, 0)
    if magic != 0xFADE0C02 or hash_type not in HASHES:
        return ["unknown CodeDirectory (magic %#x, hash type %d)" % (magic, hash_type)]
    faults = []
    if limit != dataoff:
        faults.append("the signature covers %d bytes, not the %d before it" % (limit, dataoff))
    page = 1 << page_shift if page_shift else limit
    if slots != -(-limit // page):
        faults.append("%d page hashes for %d bytes in pages of %d" % (slots, limit, page))
    digest = HASHES[hash_type]
    for i in range(slots):
        want = cd[hash_at + i * hash_size:hash_at + (i + 1) * hash_size]
        if digest(macho[i * page:min((i + 1) * page, limit)]).digest()[:hash_size] != want:
            faults.append("page %d of %d does not match its hash" % (i, slots))
    # Special slot n, counted down from the page hashes, holds the hash of blob type n.
    for kind, offset in index.items():
        if 0 < kind <= special:
            length, = struct.unpack_from(">I", blob, offset + 4)
            want = cd[hash_at - kind * hash_size:hash_at - (kind - 1) * hash_size]
            if digest(blob[offset:offset + length]).digest()[:hash_size] != want:
                faults.append("blob %d does not match its hash" % kind)
    return faults


def main(paths):
    status = 0
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        try:
            found = [(NAMES.get(cpu, hex(cpu)), cpu, signature_faults(macho)) for cpu, macho in slices(data)]
        except (ValueError, struct.error) as e:
            found = [("?", 0, ["unreadable: %s" % e])]
        for name, cpu, faults in found:
            if faults is None and cpu == ARM64:
                faults = ["no code signature"]
            for fault in faults or []:
                print("%s (%s): %s" % (path, name, fault))
                status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
