"""LZ4 block format: a greedy encoder and a complete, bounds-checked decoder.

Block format only (no frame, no size prefix, no dictionary), as carried inside method-0x82
compressed frames.
"""

MIN_MATCH = 4
LAST_LITERALS = 5  # the last 5 bytes of a block are always literals
MF_LIMIT = 12  # a match may not start within the last 12 bytes
MAX_OFFSET = 65535


class Lz4Error(ValueError):
    pass


def _write_length(out, n):
    while n >= 255:
        out.append(255)
        n -= 255
    out.append(n)


def _emit(out, literals, match_len, offset):
    lit_len = len(literals)
    token_lit = min(lit_len, 15)
    token_match = 0 if match_len is None else min(match_len - MIN_MATCH, 15)
    out.append((token_lit << 4) | token_match)
    if lit_len >= 15:
        _write_length(out, lit_len - 15)
    out += literals
    if match_len is not None:
        out += offset.to_bytes(2, "little")
        if match_len - MIN_MATCH >= 15:
            _write_length(out, match_len - MIN_MATCH - 15)


def compress(data, matches=True):
    """Compresses `data` into one LZ4 block.

    With matches=False the block is a single literal-only sequence (valid LZ4, larger than the
    input); otherwise a greedy matcher over a hash of 4-byte windows finds back-references.
    """
    src = bytes(data)
    n = len(src)
    out = bytearray()
    if not matches or n < MF_LIMIT + 1:
        _emit(out, src, None, 0)
        return bytes(out)
    table = {}
    anchor = 0
    i = 0
    match_end_limit = n - LAST_LITERALS
    while i <= n - MF_LIMIT:
        key = src[i : i + 4]
        cand = table.get(key)
        table[key] = i
        if cand is None or i - cand > MAX_OFFSET:
            i += 1
            continue
        length = 4
        while i + length < match_end_limit and src[cand + length] == src[i + length]:
            length += 1
        _emit(out, src[anchor:i], length, i - cand)
        i += length
        anchor = i
    _emit(out, src[anchor:], None, 0)
    return bytes(out)


def decompress(block, uncompressed_size):
    """Decodes one LZ4 block whose output must be exactly `uncompressed_size` bytes."""
    src = bytes(block)
    n = len(src)
    out = bytearray()
    i = 0
    while True:
        if i >= n:
            raise Lz4Error("truncated block: missing token")
        token = src[i]
        i += 1
        lit_len = token >> 4
        if lit_len == 15:
            while True:
                if i >= n:
                    raise Lz4Error("truncated literal length")
                b = src[i]
                i += 1
                lit_len += b
                if b != 255:
                    break
        if i + lit_len > n:
            raise Lz4Error("literals run past the end of the block")
        if len(out) + lit_len > uncompressed_size:
            raise Lz4Error("output exceeds the declared size")
        out += src[i : i + lit_len]
        i += lit_len
        if i == n:
            break  # the last sequence has no match part
        if i + 2 > n:
            raise Lz4Error("truncated match offset")
        offset = src[i] | (src[i + 1] << 8)
        i += 2
        if offset == 0 or offset > len(out):
            raise Lz4Error(f"invalid match offset {offset}")
        match_len = (token & 15) + MIN_MATCH
        if token & 15 == 15:
            while True:
                if i >= n:
                    raise Lz4Error("truncated match length")
                b = src[i]
                i += 1
                match_len += b
                if b != 255:
                    break
        if len(out) + match_len > uncompressed_size:
            raise Lz4Error("output exceeds the declared size")
        start = len(out) - offset
        if offset >= match_len:
            out += out[start : start + match_len]
        else:  # overlapping copy repeats the last `offset` bytes
            for k in range(match_len):
                out.append(out[start + k])
    if len(out) != uncompressed_size:
        raise Lz4Error(f"decoded {len(out)} bytes, expected {uncompressed_size}")
    return bytes(out)
