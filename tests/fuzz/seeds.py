#!/usr/bin/env python3
"""Seeds the corpora of the fuzz targets from the test fixtures (Python standard library only).

Usage: seeds.py BUILD-DIR TARGET...   Writes each seed into BUILD-DIR/corpus-<target>/, named by its SHA-1 as
libFuzzer names its own finds, so seeding again adds nothing twice.
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "devserver"))
import devserver  # noqa: E402  (the backend stand-in: its catalog and synthetic tools archive)

ZIP_FIXTURES = [os.path.join(ROOT, "tests", "archive", "fixtures", name) for name in ("infozip.zip", "python.zip")]
ORIGIN = "http://127.0.0.1:8080"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def c_literals(path):
    """The string literals of a C++ test file, adjacent ones joined, escapes decoded (roughly: seeds need not be
    exact)."""
    text = re.sub(r"(?m)^#include .*$", "", read(path).decode("utf-8"))
    token = re.compile(r'R"\((.*?)\)"|"((?:[^"\\\n]|\\.)*)"|(\s+)|(.)', re.S)
    literals, current = [], None
    for raw, quoted, space, other in token.findall(text):
        if raw or quoted:
            piece = raw.encode("utf-8") if raw else unescape(quoted)
            current = piece if current is None else current + piece
        elif not space and current is not None:
            literals.append(current)
            current = None
    return literals


def unescape(body):
    simple = {"n": b"\n", "r": b"\r", "t": b"\t", "0": b"\0", "\\": b"\\", '"': b'"', "'": b"'"}
    out, i = b"", 0
    while i < len(body):
        c = body[i]
        if c != "\\" or i + 1 == len(body):
            out += c.encode("utf-8")
            i += 1
            continue
        e = body[i + 1]
        m = re.match(r"x([0-9A-Fa-f]{1,2})", body[i + 1:])
        if m:
            out += bytes([int(m.group(1), 16)])
            i += 1 + len(m.group(0))
        else:
            out += simple.get(e, e.encode("utf-8"))
            i += 2
    return out


def raw_deflate_streams(path):
    """The deflated entries' data of a zip file, as the decoder sees them."""
    data = read(path)
    streams = []
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            if info.compress_type != zipfile.ZIP_DEFLATED or info.flag_bits & 1:
                continue
            name_length, extra_length = struct.unpack_from("<HH", data, info.header_offset + 26)
            start = info.header_offset + 30 + name_length + extra_length
            streams.append(data[start:start + info.compress_size])
    return streams


def zip_contents(path):
    with zipfile.ZipFile(path) as z:
        return [z.read(i) for i in z.infolist() if i.compress_type in (0, 8) and not i.flag_bits & 1]


def deflate(data, level, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
    return c.compress(data) + c.flush()


def seeds_zip_reader(build):
    tools = devserver.Catalog(os.path.join(ROOT, "devserver", "catalog.json"))
    return [read(p) for p in ZIP_FIXTURES] + [data for data in tools.files.values() if data[:4] == b"PK\x03\x04"]


def seeds_inflate(build):
    seeds = [s for p in ZIP_FIXTURES for s in raw_deflate_streams(p)]
    contents = sorted({c for p in ZIP_FIXTURES for c in zip_contents(p) if c}, key=len)[-4:]
    for data in contents:
        for level, strategy in ((1, zlib.Z_DEFAULT_STRATEGY), (9, zlib.Z_DEFAULT_STRATEGY), (6, zlib.Z_FIXED),
                                (6, zlib.Z_HUFFMAN_ONLY), (6, zlib.Z_RLE), (0, zlib.Z_DEFAULT_STRATEGY)):
            seeds.append(deflate(data, level, strategy))
    return seeds


def seeds_ini(build):
    text = devserver.Catalog(os.path.join(ROOT, "devserver", "catalog.json")).ini_text(ORIGIN)
    seeds = [text.encode("utf-8"), b"\xef\xbb\xbf" + text.encode("utf-8"), text.encode("gbk")]
    for name in ("ini_document_test.cpp", "service_config_test.cpp"):
        seeds += [s for s in c_literals(os.path.join(ROOT, "tests", "config", name)) if b"=" in s]
    return seeds


def seeds_catalog_json(build):
    import json
    document = devserver.Catalog(os.path.join(ROOT, "devserver", "catalog.json")).document(ORIGIN)
    seeds = [json.dumps(document, ensure_ascii=False).encode("utf-8"), json.dumps(document).encode("utf-8")]
    seeds += [s for s in c_literals(os.path.join(ROOT, "tests", "config", "catalog_json_test.cpp"))
              if s.lstrip()[:1] in (b"{", b"[")]
    return seeds


def seeds_bcdedit_id(build):
    return c_literals(os.path.join(ROOT, "tests", "boot", "pe_boot_entry_test.cpp"))


def seeds_bitlocker_percent(build):
    return c_literals(os.path.join(ROOT, "tests", "disks", "bitlocker_test.cpp"))


def seeds_wim_reader(build):
    fixtures = os.path.join(build, "wim-fixtures")
    if not os.path.exists(os.path.join(fixtures, "three.wim")):
        script = os.path.join(ROOT, "tests", "archive", "fixtures", "make_wim_fixtures.sh")
        subprocess.run([script, fixtures], check=True)
    return [read(os.path.join(fixtures, name)) for name in sorted(os.listdir(fixtures))]


def seeds_http_head(build):
    literals = c_literals(os.path.join(ROOT, "tests", "net", "direct_http_test.cpp"))
    # Heads, and chunked bodies (which start with their first size line).
    return [s for s in literals if s.startswith(b"HTTP/") or re.match(rb"[0-9A-Fa-f]+[;\r\n]", s)]


def main():
    build, targets = sys.argv[1], sys.argv[2:]
    for target in targets:
        corpus = os.path.join(build, "corpus-" + target)
        os.makedirs(corpus, exist_ok=True)
        for seed in globals()["seeds_" + target](build):
            path = os.path.join(corpus, hashlib.sha1(seed).hexdigest())
            if not os.path.exists(path):
                with open(path, "wb") as f:
                    f.write(seed)


if __name__ == "__main__":
    main()
