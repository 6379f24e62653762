"""A small independent reader and writer of snapshot.bin, for checking the store's snapshots
byte by byte and for handing it snapshots in forms it only reads (run containers)."""

import struct

COOKIE_NO_RUNS = 12346
COOKIE_RUNS = 12347


def portable_bitmap(ids, runs=False):
    """The portable Roaring serialization of a set of 32-bit ids; with runs=True every
    container is written as a run container (cookie 12347)."""
    by_key = {}
    for i in sorted(ids):
        by_key.setdefault(i >> 16, []).append(i & 0xFFFF)
    keys = sorted(by_key)
    n = len(keys)
    if runs:
        if n == 0:
            raise ValueError("the run form cannot hold an empty bitmap")
        out = bytearray(struct.pack("<I", COOKIE_RUNS | ((n - 1) << 16)))
        out += bytes([0xFF] * (n // 8) + ([(1 << (n % 8)) - 1] if n % 8 else []))
    else:
        out = bytearray(struct.pack("<II", COOKIE_NO_RUNS, n))
    for k in keys:
        out += struct.pack("<HH", k, len(by_key[k]) - 1)
    bodies = []
    for k in keys:
        lows = by_key[k]
        if runs:
            spans = []
            for v in lows:
                if spans and v == spans[-1][1] + 1:
                    spans[-1][1] = v
                else:
                    spans.append([v, v])
            bodies.append(struct.pack("<H", len(spans)) +
                          b"".join(struct.pack("<HH", a, b - a) for a, b in spans))
        elif len(lows) > 4096:
            words = [0] * 1024
            for v in lows:
                words[v >> 6] |= 1 << (v & 63)
            bodies.append(struct.pack("<1024Q", *words))
        else:
            bodies.append(struct.pack(f"<{len(lows)}H", *lows))
    if not runs or n >= 4:
        offset = len(out) + 4 * n
        for body in bodies:
            out += struct.pack("<I", offset)
            offset += len(body)
    for body in bodies:
        out += body
    return bytes(out)


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("short")
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def u8(self):
        return self.take(1)[0]

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]

    def string(self):
        return self.take(self.u64()).decode("utf-8")

    def bitmap(self):
        return parse_portable(self.take(self.u64()))


def parse_portable(raw):
    """(set of ids, cookie) of a portable bitmap."""
    r = Reader(raw)
    cookie = r.u32()
    if cookie & 0xFFFF == COOKIE_RUNS:
        n = (cookie >> 16) + 1
        flags = r.take((n + 7) // 8)
        run = [bool(flags[i // 8] >> (i % 8) & 1) for i in range(n)]
        has_offsets = n >= 4
        cookie = COOKIE_RUNS
    else:
        assert cookie == COOKIE_NO_RUNS, cookie
        n = r.u32()
        run = [False] * n
        has_offsets = True
    headers = [struct.unpack("<HH", r.take(4)) for _ in range(n)]
    if has_offsets:
        r.take(4 * n)
    ids = set()
    for (key, card_minus_one), is_run in zip(headers, run):
        card = card_minus_one + 1
        if is_run:
            for _ in range(struct.unpack("<H", r.take(2))[0]):
                start, length = struct.unpack("<HH", r.take(4))
                ids.update((key << 16) | v for v in range(start, start + length + 1))
        elif card > 4096:
            words = struct.unpack("<1024Q", r.take(8192))
            ids.update((key << 16) | (w * 64 + b) for w, word in enumerate(words)
                       for b in range(64) if word >> b & 1)
        else:
            ids.update((key << 16) | v for v in struct.unpack(f"<{card}H", r.take(2 * card)))
    assert r.pos == len(raw)
    return ids, cookie


def parse_snapshot(data):
    """The content of a snapshot as plain Python values; raises on malformed bytes."""
    r = Reader(data)
    snap = {"cookies": set()}

    def bitmap():
        ids, cookie = r.bitmap()
        snap["cookies"].add(cookie)
        return ids

    snap["str_index"] = {}
    for _ in range(r.u64()):
        field = r.string()
        snap["str_index"][field] = {r.string(): bitmap() for _ in range(r.u64())}
    snap["num_index"] = {}
    for _ in range(r.u64()):
        field = r.string()
        slices = [bitmap() for _ in range(32)]
        snap["num_index"][field] = {"slices": slices, "existence": bitmap(), "min": r.u32(),
                                    "max": r.u32(), "top_bit": r.u8()}
    snap["grid"] = {}
    for _ in range(r.u64()):
        key = r.u64()
        snap["grid"][key] = bitmap()
    snap["valid_ids"] = bitmap()
    snap["deleted"] = bitmap()
    snap["ext_to_int"] = {}
    for _ in range(r.u64()):
        key = r.u64()
        snap["ext_to_int"][key] = r.u32()
    snap["ids_file_len"] = r.u64()
    snap["meta_file_len"] = r.u64()
    snap["size"] = r.pos
    return snap


def encode_snapshot(snap, runs=False):
    """Bytes of a snapshot holding the parsed content; non-empty bitmaps in the run form when
    runs=True."""
    def bitmap(ids):
        raw = portable_bitmap(ids, runs=runs and bool(ids))
        return struct.pack("<Q", len(raw)) + raw

    def string(s):
        b = s.encode("utf-8")
        return struct.pack("<Q", len(b)) + b

    out = bytearray(struct.pack("<Q", len(snap["str_index"])))
    for field, values in snap["str_index"].items():
        out += string(field) + struct.pack("<Q", len(values))
        for value, ids in values.items():
            out += string(value) + bitmap(ids)
    out += struct.pack("<Q", len(snap["num_index"]))
    for field, bsi in snap["num_index"].items():
        out += string(field) + b"".join(bitmap(s) for s in bsi["slices"]) + bitmap(bsi["existence"])
        out += struct.pack("<IIB", bsi["min"], bsi["max"], bsi["top_bit"])
    out += struct.pack("<Q", len(snap["grid"]))
    for key, ids in snap["grid"].items():
        out += struct.pack("<Q", key) + bitmap(ids)
    out += bitmap(snap["valid_ids"]) + bitmap(snap["deleted"])
    out += struct.pack("<Q", len(snap["ext_to_int"]))
    for key, value in snap["ext_to_int"].items():
        out += struct.pack("<QI", key, value)
    out += struct.pack("<QQ", snap["ids_file_len"], snap["meta_file_len"])
    return bytes(out)


def remap_ids(snap, mapping):
    """The parsed snapshot with internal ids renamed by `mapping` (ids it lacks stay) in every
    bitmap and in the id map."""
    def move(ids):
        return {mapping.get(i, i) for i in ids}

    out = dict(snap)
    out["str_index"] = {f: {v: move(ids) for v, ids in values.items()}
                        for f, values in snap["str_index"].items()}
    out["num_index"] = {f: dict(bsi, slices=[move(s) for s in bsi["slices"]],
                                existence=move(bsi["existence"]))
                        for f, bsi in snap["num_index"].items()}
    out["grid"] = {k: move(ids) for k, ids in snap["grid"].items()}
    out["valid_ids"] = move(snap["valid_ids"])
    out["deleted"] = move(snap["deleted"])
    out["ext_to_int"] = {k: mapping.get(v, v) for k, v in snap["ext_to_int"].items()}
    return out
