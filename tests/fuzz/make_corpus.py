#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets under tests/fuzz/corpus/.

Small, well-formed inputs of each target's format (see each target's
comment), from which the fuzzer mutates. Run it again after changing a
format; the files it writes are kept in the tree."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

MAGIC = 0x25609513
ID = 3 << 24  # request ids of NMP3
HERE = os.path.dirname(os.path.abspath(__file__))


def head(cmd, start=0, end=0, rid=0, status=0, length=0, vec_count=0, vec_index=0):
    return struct.pack(">IIQQQIIHH", MAGIC, cmd, start, end, rid, status, length,
                       vec_count, vec_index) + bytes(12)


def data(n, seed):
    return bytes((seed + i * 13 + (i >> 9)) & 0xff for i in range(n))


def lzss_run(v, n):
    """A stream that decodes to n bytes of v: one literal, then matches of
    the ring position (4078) that literal was written to."""
    items = [0]
    left = n - 1
    while left:
        l = min(18, left) if left >= 3 else 0
        items.append(l)
        left -= l if l else 1
    out = bytearray()
    for g in range(0, len(items), 8):
        group = items[g:g + 8]
        out.append(sum(1 << k for k, it in enumerate(group) if it == 0))
        for it in group:
            out += bytes([v]) if it == 0 else bytes([0xee, 0xf0 | (it - 3)])
    return bytes(out)


def vectored(cmd, sector, sizes, offsets, payload, rid, vec_index=0):
    length = sum(sizes[vec_index:])
    h = head(cmd, sector, sector + length // 512 - 1, rid, 0, length, len(sizes), vec_index)
    return h + b"".join(struct.pack(">I", s) for s in sizes) + \
        b"".join(struct.pack(">I", o) for o in offsets) + payload


def data_recv():
    s = {}
    s["write_4k"] = b"\0" + vectored(14, 8, [4096], [0], data(4096, 1), ID + 1)
    s["write_two_segments"] = b"\0" + vectored(17, 16, [512, 1024], [0, 512],
                                               data(1536, 2), ID + 2)
    s["write_from_index_1"] = b"\0" + vectored(14, 24, [512, 512], [0, 0], data(512, 3),
                                               ID + 3, vec_index=1)
    packed = lzss_run(0x5a, 4096)
    s["compressed"] = b"\0" + vectored(16, 32, [4096], [0], struct.pack(">I", len(packed)) +
                                       packed, ID + 4)
    s["compressed_raw_segment"] = b"\0" + vectored(18, 40, [512], [0], struct.pack(">I", 512) +
                                                   data(512, 5), ID + 5)
    s["old_write"] = b"\0" + head(0, 48, 0, ID + 6, 0, 512) + data(512, 6)
    s["two_writes"] = s["write_4k"] + vectored(14, 64, [1024], [0], data(1024, 7), ID + 7)
    s["port_closed"] = b"\1" + s["write_4k"][1:]
    s["mount_port_open"] = b"\2" + s["write_4k"][1:]
    s["not_current_server"] = b"\4" + s["write_4k"][1:]
    s["replies"] = b"\0" + head(1, 8, 0, ID + 1) + head(4, 8, 15, ID + 2) + head(7, 0, 0, ID + 3)
    return s


def ack2_recv():
    return {
        "ack2s": b"".join(head(2, 100 * i, 100 * i + 7, ID + i) for i in range(1, 5)),
        "unknown_id": head(2, 0, 0, ID + 99) + head(2, 0, 0, 1 << 62),
        "wrong_command": head(2, 0, 0, ID + 1) + head(1, 0, 0, ID + 2),
    }


def short_msg(cmd, magic=MAGIC):
    return struct.pack(">II", magic, cmd)


def hb_recv():
    req = short_msg(200)
    return {
        "one_request": b"\0" + req,
        "requests_port_closed_client_up": b"\2" + req * 4,
        "requests_port_open": b"\1" + req * 3,
        "wrong_magic_accepted": b"\2" + short_msg(200, 0x12345678),
        "wrong_command": b"\2" + req + short_msg(201) + req,
        "partial_request": b"\2" + req + req[:5],
    }


def his_rec(serial, first, count, used=1):
    return struct.pack("<QQQQ", serial, first, count, used)


def hist_convert():
    sectors = (8 << 20) // 512
    recs = his_rec(1, 0, 1) + his_rec(2, 7, 9) + his_rec(3, 100, 256) + his_rec(4, 999, 8, 0) + \
        his_rec(5, 50, 0) + his_rec(6, sectors - 3, 3)
    return {
        "records_granule_1": b"\0\0\0" + recs,
        "records_granule_8": b"\1\0\0" + recs,
        "records_granule_128_at_ring_end": b"\3" + struct.pack("<H", 32768 - 6) + recs,
        "out_of_range_after_one": b"\0\5\0" + his_rec(1, 8, 8) + his_rec(2, sectors - 2, 3) +
        his_rec(3, 64, 8),
        "count_wraps": b"\2\0\0" + his_rec(1, 10, (1 << 64) - 5),
        "whole_partition": b"\1\0\0" + his_rec(1, 0, sectors),
    }


def extfs_bitmap():
    """Small real file systems, cut to their superblock, group descriptors
    and first block bitmaps. Made with a fixed time, UUID and hash seed so
    that running this again writes the same bytes; skipped without mkfs."""
    if not shutil.which("mkfs.ext4"):
        return {}
    kinds = {
        # name: (image size, mkfs arguments, bytes kept)
        "ext2_1k_four_groups": (4 << 20, ["mkfs.ext2", "-b", "1024", "-g", "1024",
                                          "-O", "^resize_inode"], 4096),
        "ext3_1k": (4 << 20, ["mkfs.ext3", "-b", "1024"], 19456),
        "ext4_4k": (8 << 20, ["mkfs.ext4", "-b", "4096", "-O", "^64bit"], 12288),
        "ext4_1k_uninit_groups": (4 << 20, ["mkfs.ext4", "-b", "1024", "-g", "1024",
                                            "-O", "^64bit,^resize_inode"], 7168),
    }
    uuid = "11111111-2222-3333-4444-555555555555"
    env = dict(os.environ, E2FSPROGS_FAKE_TIME="1700000000")
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name, (size, args, keep) in kinds.items():
            img = os.path.join(tmp, name)
            with open(img, "wb") as f:
                f.truncate(size)
            subprocess.run(args + ["-q", "-F", "-U", uuid, "-E", "hash_seed=" + uuid, img],
                           check=True, env=env)
            with open(img, "rb") as f:
                out[name] = f.read(keep)
    return out


def lzss_decode():
    text = b"mirror write mirror write mirror " * 40
    return {
        "decode_run": b"\0" + struct.pack("<H", 4096) + lzss_run(0x41, 4096),
        "decode_short_room": b"\0" + struct.pack("<H", 100) + lzss_run(0x41, 300),
        "decode_literals": b"\0" + struct.pack("<H", 16) + b"\xff" + b"abcdefgh" + b"\x01z",
        "round_trip_1": b"\1\0\0" + text,
        "round_trip_2": b"\3\0\0" + text + data(512, 9),
        "round_trip_8": b"\7\0\0" + data(4096, 3),
    }


def ctl(cmd, rec, minor3=True):
    return bytes([cmd | (0 if minor3 else 0x80)]) + struct.pack("<H", len(rec)) + rec


def u32s(*vals):
    return b"".join(struct.pack("<I", v & 0xffffffff) for v in vals)


def init_record(size, networks):
    """A device-init record for NMP1 on descriptors 20 (CP) and 21 (DP),
    inactive. Network entries start at offset 2196, 36 bytes each: two of
    them need a record of 2268 bytes."""
    b = bytearray(max(size, 2268))
    b[4:8] = b"qdx\0"
    struct.pack_into("<HHHH", b, 8, 0, 21, 0, 20)
    struct.pack_into("<I", b, 20, 16)
    b[24:30] = b"second"
    struct.pack_into("<ii", b, 1048, 20, 21)
    struct.pack_into("<IIQ", b, 1056, 1, 0, 100)
    struct.pack_into("<III", b, 1072, 10, 2, 8)
    struct.pack_into("<IIIIIIIII", b, 1088, 10, 30, 30, 3, 1, 5, 100, 100, 4)
    struct.pack_into("<II", b, 1124, networks, 0)
    struct.pack_into("<ii", b, 1132, -1, -1)
    for i in range(networks):
        off = 2196 + 36 * i
        b[off + 12:off + 16] = bytes([198, 51, 100, 1 + i])
    return bytes(b[:size])


def ctl_dispatch():
    network = u32s(0) + b"qdx\0" + u32s(1, 16, 0, 0, 0, 1, 0, 2)
    return {
        "network_init": ctl(101, network),
        "ports": ctl(7, bytes(20)) + ctl(6, u32s(0, 1) + bytes(12)) + ctl(5, u32s(0, 1) + bytes(12)),
        "cp_times": ctl(12, bytes(20)) + ctl(13, u32s(0, 7) + bytes(12)) + ctl(12, bytes(20)),
        "bitmap": ctl(68, u32s(0, 1)) + ctl(33, bytes(8)) + ctl(3, u32s(0, 1)) + ctl(17, b""),
        "sizes": ctl(16, u32s(0, 0, 8192, 0, 0, 0)) + ctl(66, b"") + ctl(70, b""),
        "params": ctl(8, bytes(80)) + ctl(61, u32s(0, 50)) + ctl(75, u32s(0, 3, 1)) + ctl(76, bytes(12)),
        "driver_wide": ctl(50, bytes(8)) + ctl(52, bytes(16)) + ctl(21, bytes(16)) +
                       ctl(83, bytes(48), minor3=False),
        "short_records": ctl(8, bytes(4)) + ctl(102, bytes(100)) + ctl(9, bytes(10)) + ctl(73, bytes(47)),
        "block_ioctls": bytes([112 + 2, 8, 0]) + bytes(8) + bytes([112 + 4, 4, 0]) + bytes(4) +
                        bytes([112 + 8, 8, 0]) + bytes(8),
        "no_device": ctl(7, bytes(20), minor3=False) + ctl(12, bytes(20), minor3=False),
        "create": ctl(102, init_record(2268, 2), minor3=False) + ctl(7, bytes(20), minor3=False) +
                  ctl(12, bytes(20), minor3=False) + ctl(33, bytes(8), minor3=False),
        "create_one_network": ctl(102, init_record(2232, 1), minor3=False) +
                              ctl(9, bytes(48), minor3=False) + ctl(73, bytes(48), minor3=False),
    }


def main():
    for target, seeds in (("data_recv", data_recv()), ("ack2_recv", ack2_recv()),
                          ("hb_recv", hb_recv()), ("hist_convert", hist_convert()),
                          ("extfs_bitmap", extfs_bitmap()),
                          ("lzss_decode", lzss_decode()), ("ctl_dispatch", ctl_dispatch())):
        d = os.path.join(HERE, "corpus", target)
        # Only the seeds are written: reproducers kept beside them stay.
        os.makedirs(d, exist_ok=True)
        for name, blob in seeds.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(blob)
    return 0


if __name__ == "__main__":
    sys.exit(main())
