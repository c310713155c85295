#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus: small archives of every shape the reader meets.

    fuzz/make_seeds.py [--pack build/release/tools/pack/lumora-pack]

The archive seeds are raw archives as `lumora-pack create --raw` writes them (the
fuzzer reads from offset 1, so the magic's first byte stands for the image). The
codec seeds are a mode byte followed by a framed member (even mode) or by bytes for
the encoder's round trip (odd mode). The output is the same on every run; with
--pack, the sample update's archive, cut short, joins the archive seeds.
"""

import argparse
import os
import subprocess
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
CLEAR, END = 256, 257


def lzw_codes(data, clear_after=None):
    """The code stream of data: a clear code, the codes, the end code. With
    clear_after, a clear code follows every clear_after codes (early clears)."""
    codes = [CLEAR]
    table, free, since_clear, i = {}, 258, 0, 0
    while i < len(data):
        if since_clear and (free >= 4094 or (clear_after and since_clear >= clear_after)):
            codes.append(CLEAR)
            table, free, since_clear = {}, 258, 0
        code, j = data[i], i + 1
        while j < len(data) and (code, data[j]) in table:
            code = table[(code, data[j])]
            j += 1
        codes.append(code)
        since_clear += 1
        if j < len(data):
            table[(code, data[j])] = free
            free += 1
        i = j
    codes.append(END)
    return codes


def pack_codes(codes):
    """Packs codes least significant bit first with the reader's widths: 9 bits after a
    clear code, one more as soon as a defined entry makes the next free code 512, 1024
    or 2048. Returns the bytes and whether the last code ended on a byte boundary."""
    acc = bits = 0
    out = bytearray()
    width, free, root_next = 9, 258, False
    for n, code in enumerate(codes):
        acc |= code << bits
        bits += width
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
        if n == 0 or (code == CLEAR and not root_next):
            width, free, root_next = 9, 258, True
        elif root_next:
            root_next = False
        elif code != END:
            free += 1
            if free == 1 << width:
                width += 1
    on_boundary = bits == 0
    if bits:
        out.append(acc & 0xFF)
    return bytes(out), on_boundary


def frame(stream, sizes=()):
    """Length-prefixed blocks (sizes first, then 255 each, the last holding the rest)
    and the 0x00 terminator."""
    out, pos, sizes = bytearray(), 0, list(sizes)
    while pos < len(stream):
        n = min(sizes.pop(0) if sizes else 255, len(stream) - pos)
        out += bytes([n]) + stream[pos : pos + n]
        pos += n
    return bytes(out) + b"\x00"


def member(data, clear_after=None, sizes=(), zero_tail_alone=False):
    stream, on_boundary = pack_codes(lzw_codes(data, clear_after))
    if not zero_tail_alone:
        return frame(stream + (b"\x00" if on_boundary else b""), sizes)
    # The extra 0x00 alone in its own last block; the end code in the block before.
    return frame(stream, sizes)[:-1] + b"\x01\x00\x00"


def archive(entries, pad=b"", tail=b"", magic=b"QRX1.00", trailer=True):
    """entries: (name, member bytes or None for a directory)."""
    body = bytearray(magic)
    for name, data in entries:
        body += pad + b"," + name + b"\x00" + (b"\x00" if data is None else data)
    body += pad + b";"
    if trailer:
        body += b"QRXCRC32" + zlib.crc32(bytes(body)).to_bytes(4, "little")
    return bytes(body) + tail


def boundary_text():
    """A short text whose end code ends on a byte boundary."""
    for n in range(1, 200):
        text = (b"abcab" * 40)[:n]
        if pack_codes(lzw_codes(text))[1]:
            return text
    raise SystemExit("no text ends on a byte boundary")


def noise(n):
    """Bytes that hardly repeat, so the codes soon grow to 11 bits."""
    state, out = 99, bytearray()
    for _ in range(n):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(state >> 16 & 0xFF)
    return bytes(out)


def text(n):
    words = [b"Tattoo", b"ba045", b"psd", b"\r\n", b"Partbase", b";", b"1", b"\t"]
    state, out = 12345, bytearray()
    while len(out) < n:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out += words[state % len(words)]
    return bytes(out[:n])


def archive_seeds():
    hello = b"hello hello hello\r\n"
    seeds = {
        "file": archive([(b"a.txt", member(hello))]),
        "dir-file": archive([(b"D\\", None), (b"D\\f.txt", member(hello))]),
        "padding": archive([(b"D\\", None), (b"D\\f", member(b"x"))], pad=b"\x00\x00"),
        "zero-tail-own-block": archive([(b"t", member(boundary_text(), zero_tail_alone=True))]),
        "early-clears": archive([(b"c", member(text(300), clear_after=5, sizes=(7, 1, 200)))]),
        "wide-codes": archive([(b"w", member(text(2000))), (b"n", member(noise(1500)))]),
        "empty-file": archive([(b"e", member(b"")), (b"f", member(b"\x00"))]),
        "no-trailer": archive([(b"a", member(hello, sizes=(1, 2, 3)))], trailer=False),
        "other-magic": archive([(b"a", member(hello))], magic=b"Q\x00;\xff\x00;9"),
    }
    whole = archive([(b"a.txt", member(hello))])
    seeds["cut-trailer"] = whole[:-6]
    seeds["bad-crc"] = whole[:-1] + bytes([whole[-1] ^ 1])
    seeds["after-trailer"] = whole + b"SIGNATURE"
    return seeds


def codec_seeds():
    return {
        "member": b"\x00" + member(text(120), sizes=(3, 4)),
        "member-clears": b"\x00" + member(text(400), clear_after=9),
        "member-wide": b"\x00" + member(noise(1200)),
        "member-zero-tail": b"\x00" + member(boundary_text(), zero_tail_alone=True),
        "roundtrip": b"\x01" + text(200),
        "roundtrip-adaptive": b"\x03" + text(600),
    }


def write(folder, seeds):
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def sample_seed(pack, keep=3072):
    root = os.path.join(HERE, "..", "examples", "sample-update")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "sample")
        subprocess.run([pack, "create", "-q", "--raw", "-o", out, "-C", root,
                        "partbase.txt", "Addition"], check=True)
        with open(out, "rb") as f:
            return f.read()[:keep]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--pack", help="lumora-pack, to add the sample update cut short")
    args = parser.parse_args()
    seeds = archive_seeds()
    if args.pack:
        seeds["sample-cut"] = sample_seed(args.pack)
    write(os.path.join(HERE, "corpus", "archive"), seeds)
    write(os.path.join(HERE, "corpus", "codec"), codec_seeds())


if __name__ == "__main__":
    main()
