#!/usr/bin/env python3
"""Consistency check of the golden captures in this directory (no server needed).

Standard library only; exits non-zero on the first inconsistency and prints a
closing 'N passed, N failed' line.

- every frame listed in cityhash128.txt exists at its offset, its header sizes
  fit the file, and its stored checksum halves equal the listed hash values;
- every server reply tcp_*.bin re-parses into whole packets ending with
  EndOfStream, every frame in it is listed in cityhash128.txt, LZ4 payloads
  decode to their declared sizes, and blocks end exactly at a frame end;
- the large block decodes to the numbers 0..149999 and spans at least two
  frames, the first holding exactly 1 MiB;
- every Native capture re-parses with the offsets recorded in
  native_columns.json (the C++ suite compares every value with the manifest's);
- the pattern section of cityhash128.txt is complete (lengths 0..300 and the
  large inputs) and has no duplicate values.
"""

import json
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import raw_native as rn  # noqa: E402

RESULTS = {"passed": 0, "failed": 0}


def check(cond, what):
    if cond:
        RESULTS["passed"] += 1
    else:
        RESULTS["failed"] += 1
        print("FAIL:", what)


def load(name):
    with open(os.path.join(HERE, name), "rb") as f:
        return f.read()


def read_cityhash():
    patterns, frames = {}, {}
    with open(os.path.join(HERE, "cityhash128.txt")) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            parts = line.split()
            if parts[0] == "pattern":
                patterns[int(parts[1])] = (int(parts[2], 16), int(parts[3], 16))
            elif parts[0] == "frame":
                frames[(parts[1], int(parts[2]))] = (int(parts[3]), int(parts[4], 16), int(parts[5], 16))
    return patterns, frames


def check_cityhash_table(patterns):
    expected = set(range(0, 301)) | {1024, 4096, 1024 * 1024 + 13}
    check(set(patterns) == expected, "pattern lengths complete")
    check(len(set(patterns.values())) == len(patterns), "pattern hashes distinct")


def check_frames_listed(frames):
    for (fname, off), (length, lo, hi) in sorted(frames.items()):
        data = load(fname)
        slo, shi = struct.unpack_from("<QQ", data, off)
        csize = struct.unpack_from("<I", data, off + 17)[0]
        check(csize == length, "%s@%d: compressed_size %d equals hashed length %d" % (fname, off, csize, length))
        check(off + 16 + csize <= len(data), "%s@%d: frame inside file" % (fname, off))
        check((slo, shi) == (lo, hi), "%s@%d: stored checksum equals listed CityHash128" % (fname, off))
        fr = rn.parse_frame(data, off)
        check(len(fr["decoded"]) == fr["uncompressed_size"], "%s@%d: decodes to declared size" % (fname, off))


def check_tcp_reply(fname, frames):
    data = load(fname)
    pos = 0
    packets = []
    for _ in range(10000):
        pk = rn.parse_server_packet(data, pos, True, rn.REVISION)
        packets.append(pk)
        pos = pk["end"]
        if pk["type"] in (rn.S_EOS, rn.S_EXCEPTION):
            break
    check(pos == len(data), "%s: packets cover the whole file" % fname)
    check(packets[-1]["type"] == rn.S_EOS, "%s: ends with EndOfStream" % fname)
    for pk in packets:
        for fr in pk.get("frames", []):
            check((fname, fr["offset"]) in frames, "%s@%d: frame listed in cityhash128.txt" % (fname, fr["offset"]))
    return packets


def check_large_block(packets):
    pk = [p for p in packets if p.get("block", {}).get("rows")][0]
    check(len(pk["frames"]) >= 2, "large block spans several frames")
    check(pk["frames"][0]["uncompressed_size"] == 1 << 20, "first frame holds exactly 1 MiB")
    block = pk["decoded_block"]
    name, typ, start, end = pk["block"]["columns"][0]
    check(typ == "UInt64" and end - start == 8 * 150000, "large block column is 150000 UInt64")
    values = struct.unpack_from("<150000Q", block, start)
    check(values == tuple(range(150000)), "large block holds 0..149999")


def check_native(manifest):
    for m in manifest:
        data = load(m["file"])
        c = rn.Cursor(data)
        for b in m["blocks"]:
            check(c.pos == b["offset"], "%s: block at %d" % (m["file"], b["offset"]))
            ncols = c.varint()
            nrows = c.varint()
            check(ncols == len(m["columns"]) and nrows == b["rows"], "%s: counts" % m["file"])
            for (name, typ), (bstart, bend) in zip(m["columns"], b["column_bodies"]):
                check(c.string().decode() == name, "%s: column name %s" % (m["file"], name))
                check(c.string().decode() == typ, "%s: column type %s" % (m["file"], typ))
                check(c.pos == bstart, "%s: body of %s starts at %d" % (m["file"], name, bstart))
                rn.skip_column(c, typ, nrows)
                check(c.pos == bend, "%s: body of %s ends at %d" % (m["file"], name, bend))
        check(c.pos == len(data), "%s: nothing after the last block" % m["file"])
        check(sum(b["rows"] for b in m["blocks"]) == len(m["rows_tsv"]), "%s: row count matches TSV" % m["file"])


def main():
    patterns, frames = read_cityhash()
    check_cityhash_table(patterns)
    check_frames_listed(frames)
    for fname in sorted(os.listdir(HERE)):
        if fname.startswith("tcp_") and fname.endswith(".bin") and ".query" not in fname \
                and fname not in ("tcp_client_hello.bin", "tcp_server_hello.bin", "tcp_auth_failure.bin"):
            packets = check_tcp_reply(fname, frames)
            if fname == "tcp_large_block.bin":
                check_large_block(packets)
    with open(os.path.join(HERE, "native_columns.json")) as f:
        check_native(json.load(f))
    auth = load("tcp_auth_failure.bin")
    pk = rn.parse_server_packet(auth, 0, False, rn.REVISION)
    check(pk["end"] == len(auth) and pk["exception"][0][0] == 193, "auth failure is one Exception packet, code 193")
    print("%d passed, %d failed" % (RESULTS["passed"], RESULTS["failed"]))
    return 1 if RESULTS["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
