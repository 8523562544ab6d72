#!/usr/bin/python3
"""Writes the crafted recordings of this folder and `expected.txt`, the outcome each must have (read by
recording_corpus_test and python/tests/test_recording.py). Each file is a small valid recording with one
fault; the files are committed, so this needs running only to change them (it uses the zstd and lz4 commands).

expected.txt, one file a line: `name | outcome | filter`, where the outcome is `refused: TEXT` (a
RecordingError containing TEXT) or `N messages` (in log-time order), optionally followed by
`; cut short: C chunks, T torn bytes` or `; undecodable: TEXT` (Python only: decoding a message raises a
RecordingError containing TEXT), and the filter, when there is one, is `topic start end` (`-` for all topics).
"""

import pathlib
import struct
import subprocess
import zlib

HERE = pathlib.Path(__file__).resolve().parent
MAGIC = b"\x89MCAP0\r\n"


def rec(op, body):
    return bytes([op]) + struct.pack("<Q", len(body)) + body


def text(value):
    data = value.encode() if isinstance(value, str) else value
    return struct.pack("<I", len(data)) + data


SCHEMAS = {1: ("Thing", "jsonschema", b'{"type":"object"}'), 2: ("sensor_msgs/Image", "ros1msg", b"uint8[] data"),
           3: ("corvane_msgs/NDArray", "ros1msg", b"string dtype")}
CHANNELS = {1: (1, "/a", "json"), 2: (1, "/b", "json"), 3: (2, "/image", "ros1"), 4: (3, "/array", "ros1"),
            5: (0, "/raw", "octets")}


def definitions():
    out = b""
    for sid, (name, encoding, data) in SCHEMAS.items():
        out += rec(3, struct.pack("<H", sid) + text(name) + text(encoding) + text(data))
    for cid, (sid, topic, encoding) in CHANNELS.items():
        out += rec(4, struct.pack("<HH", cid, sid) + text(topic) + text(encoding) + struct.pack("<I", 0))
    return out


def compress(records, method):
    if not method:
        return records
    command = ["zstd", "-q", "-c", "-19"] if method == "zstd" else ["lz4", "-q", "-c"]
    return subprocess.run(command, input=records, stdout=subprocess.PIPE, check=True).stdout


def build(chunks, method="", chunk_fix=None, index_fix=None, chunk_index_fix=None, summary=True):
    """A recording of `chunks` (lists of (channel, time, data)); the fix functions alter a chunk's header
    fields, a chunk's message index entries or a chunk index's fields before they are written."""
    out = MAGIC + rec(1, text("") + text("craft"))
    chunk_indexes, counts, times = [], {}, []
    for n, messages in enumerate(chunks):
        records = definitions() if n == 0 else b""
        index = {}
        for seq, (channel, time, data) in enumerate(messages):
            index.setdefault(channel, []).append((time, len(records)))
            records += rec(5, struct.pack("<HIQQ", channel, seq, time, time) + data)
            counts[channel] = counts.get(channel, 0) + 1
            times.append(time)
        stored = compress(records, method)
        fields = {"start": min(t for _, t, _ in messages), "end": max(t for _, t, _ in messages),
                  "size": len(records), "crc": zlib.crc32(records)}
        if chunk_fix:
            chunk_fix(n, fields)
        at = len(out)
        out += rec(6, struct.pack("<QQQI", fields["start"], fields["end"], fields["size"], fields["crc"]) +
                   text(method) + struct.pack("<Q", len(stored)) + stored)
        length, index_at, offsets = len(out) - at, len(out), {}
        index = index_fix(n, index, len(records)) if index_fix else index
        for channel, entries in sorted(index.items()):
            offsets[channel] = len(out)
            body = b"".join(struct.pack("<QQ", t, o) for t, o in entries)
            out += rec(7, struct.pack("<H", channel) + text(body))
        ci = {"start": fields["start"], "end": fields["end"], "offset": at, "length": length, "offsets": offsets,
              "index_length": len(out) - index_at, "compressed": len(stored), "uncompressed": fields["size"]}
        if chunk_index_fix:
            chunk_index_fix(n, ci)
        chunk_indexes.append(ci)
    out += rec(0x0F, struct.pack("<I", 0))
    if not summary:
        return out + rec(2, struct.pack("<QQI", 0, 0, 0)) + MAGIC
    summary_start = len(out)
    out += definitions()
    channel_counts = b"".join(struct.pack("<HQ", c, n) for c, n in sorted(counts.items()))
    out += rec(0x0B, struct.pack("<QHIIIIQQ", sum(counts.values()), len(SCHEMAS), len(CHANNELS), 0, 0, len(chunks),
                                 min(times), max(times)) + text(channel_counts))
    for ci in chunk_indexes:
        offsets = b"".join(struct.pack("<HQ", c, o) for c, o in sorted(ci["offsets"].items()))
        out += rec(8, struct.pack("<QQQQ", ci["start"], ci["end"], ci["offset"], ci["length"]) + text(offsets) +
                   struct.pack("<Q", ci["index_length"]) + text(method) +
                   struct.pack("<QQ", ci["compressed"], ci["uncompressed"]))
    return out + rec(2, struct.pack("<QQI", summary_start, 0, 0)) + MAGIC


def unchunked(messages, summary=True):
    """A recording of `messages` ((channel, time, data)) outside chunks, as writers do on request, with an
    attachment, a metadata record and a record of an opcode the format does not define among them."""
    out = MAGIC + rec(1, text("") + text("craft")) + definitions()
    attachment = struct.pack("<QQ", 1, 1) + text("calib.yaml") + text("text/yaml") + struct.pack("<Q", 4) + b"a: 1"
    extras = [rec(9, attachment + struct.pack("<I", 0)),
              rec(0x0C, text("robot") + text(text("arm") + text("ur5"))), rec(0x80, b"custom")]
    half = len(messages) // 2
    counts = {}
    for seq, (channel, time, data) in enumerate(messages):
        out += b"".join(extras) if seq == half else b""
        out += rec(5, struct.pack("<HIQQ", channel, seq, time, time) + data)
        counts[channel] = counts.get(channel, 0) + 1
    out += rec(0x0F, struct.pack("<I", 0))
    if not summary:
        return out + rec(2, struct.pack("<QQI", 0, 0, 0)) + MAGIC
    summary_start = len(out)
    times = [t for _, t, _ in messages]
    channel_counts = b"".join(struct.pack("<HQ", c, n) for c, n in sorted(counts.items()))
    out += definitions() + rec(0x0B, struct.pack("<QHIIIIQQ", len(messages), len(SCHEMAS), len(CHANNELS), 1, 1, 0,
                                                min(times), max(times)) + text(channel_counts))
    return out + rec(2, struct.pack("<QQI", summary_start, 0, 0)) + MAGIC


def two_topics(chunks=2, per_chunk=20):
    """/a and /b in turn, every 10 ns from 1000."""
    return [[(1 + i % 2, 1000 + 10 * (c * per_chunk + i), b'{"i":%d}' % i) for i in range(per_chunk)]
            for c in range(chunks)]


def one(channel, data):
    return [[(channel, 1000, data)]]


def ros1_image(height, width, encoding, pixels, cut=None):
    data = struct.pack("<III", 0, 1, 0) + text("cam") + struct.pack("<II", height, width) + text(encoding)
    data += b"\x00" + struct.pack("<I", width * 3) + text(pixels)
    return data[:cut] if cut is not None else data


def each(fix):
    """A fix of every channel's message index entries: fix(channel, entries, size of the records)."""
    return lambda n, index, size: {c: fix(c, e, size) for c, e in index.items()}


def set_field(name, value, chunk=0):
    def fix(n, fields):
        if n == chunk:
            fields[name] = value
    return fix


def crafted():
    """(file name, bytes, outcome, filter)."""
    base = two_topics()
    yield "magic_only", MAGIC, "refused: not a recording", ""
    yield "magic_twice", MAGIC * 2, "refused: not a recording", ""
    # The chunks end with a message on /raw whose last byte is a message opcode.
    raw_last = [chunk + [(5, chunk[-1][1], b"\x05")] for chunk in base]
    yield "index_at_chunk_end", build(raw_last, index_fix=each(lambda c, e, size: e[:-1] + [(e[-1][0], size - 1)])), \
        "42 messages", ""
    swapped = lambda n, index, size: {1: [(t, o) for (t, _), (_, o) in zip(index[1], index[2])], 2: index[2]}
    yield "index_points_into_other_channel", build(base, index_fix=swapped), "20 messages", "/a 0 99999"
    yield "index_times_shifted", build(base, index_fix=each(lambda c, e, size: [(t + 5000, o) for t, o in e])), \
        "12 messages", "- 1000 1120"
    reversed_times = each(lambda c, e, size: list(zip([t for t, _ in e][::-1], [o for _, o in e])))
    yield "index_times_reversed", build(base, index_fix=reversed_times), "40 messages", ""
    flipped = each(lambda c, e, size: [(t ^ (1 << 40), o ^ 4) for t, o in e])
    yield "index_bits_flipped", build(base, index_fix=flipped), "40 messages", ""
    yield "index_empty", build(base, index_fix=each(lambda c, e, size: [])), "20 messages", "/b 0 99999"
    yield "chunk_claims_2p63_zstd", build(base, "zstd", set_field("size", 1 << 63)), \
        "refused: claims 9223372036854775808 bytes", ""
    yield "chunk_claims_max_lz4", build(base, "lz4", set_field("size", 2**64 - 1)), \
        "refused: claims 18446744073709551615 bytes", ""
    yield "chunk_claims_2p63_none", build(base, "", set_field("size", 1 << 63)), \
        "refused: not the 9223372036854775808 it states", ""
    yield "chunk_claims_1_5gb_zstd", build(base, "zstd", set_field("size", 1_500_000_000)), \
        "refused: claims 1500000000 bytes", ""
    yield "chunk_claims_900mb_zstd", build(base, "zstd", set_field("size", 900_000_000)), \
        "refused: zstd data decompresses to only", ""
    yield "chunk_claims_900mb_lz4", build(base, "lz4", set_field("size", 900_000_000)), \
        "refused: lz4 data decompresses to only", ""
    whole = build(base)
    summary_start = struct.unpack_from("<Q", whole, len(whole) - 37 + 9)[0]
    huge = bytearray(whole)
    huge[summary_start + 1:summary_start + 9] = struct.pack("<Q", 8 << 30)
    yield "summary_record_claims_8gib", bytes(huge), "refused: a record is cut short", ""
    yield "chunk_index_claims_8gib", build(base, chunk_index_fix=set_field("length", 8 << 30)), \
        "refused: does not fit the data section", ""
    first = []  # the first chunk's index, given to the second
    yield "chunk_indexes_overlap", build(base, chunk_index_fix=lambda n, ci: first.append(ci) if n == 0 else
                                         ci.update(first[0])), "refused: does not fit the data section", ""
    yield "chunk_index_times_wrong", build(base, chunk_index_fix=set_field("start", 1100)), \
        "refused: outside the range [1100, 1190] its index gives", ""
    yield "message_on_undefined_channel", build([[(1, 1000, b"{}"), (9, 1010, b"{}")]]), \
        "refused: which the file does not define", ""
    CHANNELS[2] = (1, b"/\xff", "json")
    yield "topic_not_utf8", build(base), "refused: a string field is not UTF-8", ""
    CHANNELS[2] = (1, "/b", "json")
    yield "chunk_crc_wrong", build(base, chunk_fix=set_field("crc", 1)), "refused: fails its CRC check", ""
    yield "no_summary_times_wrong", build(base, chunk_fix=set_field("start", 1500), summary=False), \
        "40 messages", ""
    yield "no_summary_chunk_crc_wrong", build(base, chunk_fix=set_field("crc", 1, chunk=1), summary=False), \
        "20 messages", ""
    yield "no_summary_first_chunk_crc_wrong", build(base, chunk_fix=set_field("crc", 1), summary=False), \
        "0 messages", ""
    yield "unchunked", unchunked(base[0] + base[1]), "40 messages", ""
    yield "unchunked_no_summary", unchunked(base[0] + base[1], summary=False), "12 messages", "- 1000 1120"
    for name, data, error in [
            ("json_not_utf8", b'{"a":"\xff"}', "UnicodeDecodeError"), ("json_cut", b'{"a":', "JSONDecodeError"),
            ("json_nested_deep", b"[" * 5000, "RecursionError")]:
        yield name, build(one(1, data)), "1 messages; undecodable: " + error, ""
    yield "image_cut_in_header", build(one(3, ros1_image(1, 2, "rgb8", b"\0" * 6, cut=10))), \
        "1 messages; undecodable: requires a buffer", ""
    yield "image_cut_before_flag", build(one(3, ros1_image(1, 2, "rgb8", b"\0" * 6, cut=31))), \
        "1 messages; undecodable: IndexError", ""
    yield "image_wrong_size", build(one(3, ros1_image(5, 2, "rgb8", b"\0" * 6))), \
        "1 messages; undecodable: ValueError", ""
    yield "ndarray_unknown_dtype", build(one(4, text("nope") + struct.pack("<II", 1, 2) + text(b"\0\0"))), \
        "1 messages; undecodable: TypeError", ""
    cut = build(two_topics(3, 10))
    chunks = []  # where each chunk record starts
    pos = 8
    while len(chunks) < 3:
        op, length = cut[pos], struct.unpack_from("<Q", cut, pos + 1)[0]
        chunks += [pos] if op == 6 else []
        pos += 9 + length
    at = chunks[2] + 100
    yield "cut_short", cut[:at], f"20 messages; cut short: 2 chunks, {at - chunks[2]} torn bytes", ""


def main():
    for old in HERE.glob("*.mcap"):
        old.unlink()
    lines = []
    for name, data, outcome, window in crafted():
        (HERE / f"{name}.mcap").write_bytes(data)
        lines.append(f"{name}.mcap | {outcome} | {window}".rstrip(" |"))
    (HERE / "expected.txt").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
