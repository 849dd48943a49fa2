#!/usr/bin/env python3
"""Writes and checks for the two-server tests.

  write FILE SIZE SEED COUNT LOG [--min-sectors N] [--max-sectors N] [--hot N]
        [--fsync-each] [--slots FIRST] [--pending FILE]
      COUNT writes of random size (whole sectors) at random sector offsets
      of FILE (SIZE bytes); with --hot, that many of them go to a few
      sectors written again and again. With --slots, write n starts instead
      at the beginning of slot FIRST + n, the slots being max-sectors long,
      so that no two writes touch the same bitmap granule (granules up to
      max-sectors). Each write is pwrite()n and, with
      --fsync-each, fsync()ed before the next; at the end the file is
      fsync()ed. Every write is appended to LOG as "sector count seed
      index" once it has returned (so LOG holds what was acknowledged).
      With --pending, FILE holds the write under way (the same line, put
      there before the write is issued): what a crash may leave half done.
  model SIZE OUT LOG...
      Replays the writes of the LOGs in order into a zero image OUT.
  bits CP SIZE GRANULE
      Prints the set bits of the difference bitmap of a Cluster Partition
      image (1 KiB layout: bitmap from byte 10240, bit 0 the most
      significant bit of its byte), one bit number per line.
  granules SIZE GRANULE LOG...
      Prints the granules (bits) the writes of the LOGs touch.
  differ A B GRANULE
      Prints the granules in which two images differ.
  journal CP RING_MIB
      Prints the records in use of the history ring of a Cluster Partition
      image, "serial first count" one per line.
  spilled DIR CP RING_MIB LOG...
      Checks every history file in DIR ("%016X.dat" after its serial): its
      journal record in CP gives its range, and its bytes are those of a
      logged write that covered that range. Prints the number of files.
  coverage SIZE GRANULE BITS LOG
      For each write of LOG in order, how many of its granules the bit
      numbers in file BITS hold: "none", "part" or "all", one per line.
"""
import os
import random
import struct
import sys

SECTOR = 512
BITMAP_OFFSET = 10 * 1024


def data_of(seed, index, count):
    r = random.Random(seed * 1000003 + index)
    return r.randbytes(count * SECTOR)


def cmd_write(args):
    path, size, seed, count, log = args[0], int(args[1]), int(args[2]), int(args[3]), args[4]
    opts = args[5:]
    min_sectors, max_sectors, hot, fsync_each, first_slot, pending = 1, 256, 0, False, None, None
    i = 0
    while i < len(opts):
        if opts[i] == "--min-sectors":
            min_sectors = int(opts[i + 1])
            i += 2
        elif opts[i] == "--max-sectors":
            max_sectors = int(opts[i + 1])
            i += 2
        elif opts[i] == "--hot":
            hot = int(opts[i + 1])
            i += 2
        elif opts[i] == "--slots":
            first_slot = int(opts[i + 1])
            i += 2
        elif opts[i] == "--pending":
            pending = opts[i + 1]
            i += 2
        elif opts[i] == "--fsync-each":
            fsync_each = True
            i += 1
        else:
            sys.exit("write: unknown option " + opts[i])
    sectors = size // SECTOR
    r = random.Random(seed)
    hot_spots = [r.randrange(0, sectors - max_sectors) for _ in range(4)]
    hot_at = set(r.sample(range(count), hot)) if hot else set()
    fd = os.open(path, os.O_RDWR)
    with open(log, "a") as out:
        for n in range(count):
            length = r.randrange(min_sectors, max_sectors + 1)
            if first_slot is not None:
                start = (first_slot + n) * max_sectors
                if start + length > sectors:
                    sys.exit(f"write: slot {first_slot + n} lies beyond the file")
            elif n in hot_at:
                start = r.choice(hot_spots) + r.randrange(0, 8)
            else:
                start = r.randrange(0, sectors - length + 1)
            buf = data_of(seed, n, length)
            if pending is not None:
                with open(pending, "w") as p:
                    p.write(f"{start} {length} {seed} {n}\n")
            done = os.pwrite(fd, buf, start * SECTOR)
            if done != len(buf):
                sys.exit(f"short write at sector {start}: {done} of {len(buf)}")
            if fsync_each:
                os.fsync(fd)
            out.write(f"{start} {length} {seed} {n}\n")
            out.flush()
    os.fsync(fd)
    os.close(fd)


def writes_of(logs):
    for log in logs:
        with open(log) as f:
            for line in f:
                start, length, seed, n = (int(x) for x in line.split())
                yield start, length, seed, n


def cmd_model(args):
    size, out, logs = int(args[0]), args[1], args[2:]
    img = bytearray(size)
    for start, length, seed, n in writes_of(logs):
        img[start * SECTOR:(start + length) * SECTOR] = data_of(seed, n, length)
    with open(out, "wb") as f:
        f.write(img)


def cmd_bits(args):
    cp, size, granule = args[0], int(args[1]), int(args[2])
    nbits = -(-(size // SECTOR) // granule)
    with open(cp, "rb") as f:
        f.seek(BITMAP_OFFSET)
        raw = f.read(-(-nbits // 8))
    for b in range(nbits):
        if raw[b // 8] & (0x80 >> (b % 8)):
            print(b)


def cmd_granules(args):
    size, granule, logs = int(args[0]), int(args[1]), args[2:]
    bits = set()
    for start, length, _, _ in writes_of(logs):
        bits.update(range(start // granule, (start + length - 1) // granule + 1))
    nbits = -(-(size // SECTOR) // granule)
    for b in sorted(bits):
        if b < nbits:
            print(b)


def granules_of(start, length, granule):
    return set(range(start // granule, (start + length - 1) // granule + 1))


def cmd_coverage(args):
    granule, bits_file, log = int(args[1]), args[2], args[3]
    with open(bits_file) as f:
        bits = {int(x) for x in f.read().split()}
    for start, length, _, _ in writes_of([log]):
        g = granules_of(start, length, granule)
        held = len(g & bits)
        print("none" if held == 0 else "all" if held == len(g) else "part")


def cmd_differ(args):
    a, b, granule = args[0], args[1], int(args[2])
    step = granule * SECTOR
    with open(a, "rb") as fa, open(b, "rb") as fb:
        g = 0
        while True:
            x, y = fa.read(step), fb.read(step)
            if not x and not y:
                break
            if x != y:
                print(g)
            g += 1


RING_BYTE = 0x54D000


def journal_of(cp, ring_mib):
    recs = {}
    with open(cp, "rb") as f:
        f.seek(RING_BYTE)
        raw = f.read(ring_mib << 20)
    for off in range(0, len(raw), 32):
        serial, first, count, used = struct.unpack_from("<QQQQ", raw, off)
        if used:
            recs[serial] = (first, count)
    return recs


def cmd_journal(args):
    for serial, (first, count) in sorted(journal_of(args[0], int(args[1])).items()):
        print(serial, first, count)


def cmd_spilled(args):
    d, cp, ring_mib, logs = args[0], args[1], int(args[2]), args[3:]
    recs = journal_of(cp, ring_mib)
    writes = list(writes_of(logs))
    checked = 0
    for name in sorted(os.listdir(d)):
        if not name.endswith(".dat"):
            continue
        try:
            with open(os.path.join(d, name), "rb") as f:
                data = f.read()
        except FileNotFoundError:
            continue  # read back and deleted meanwhile
        serial = int(name[:-4], 16)
        if serial not in recs:
            sys.exit(f"{name}: no journal record")
        first, count = recs[serial]
        if len(data) != count * SECTOR:
            sys.exit(f"{name}: {len(data)} bytes for {count} sectors")
        ok = False
        for start, length, seed, n in writes:
            if start <= first and first + count <= start + length:
                src = data_of(seed, n, length)
                if src[(first - start) * SECTOR:(first - start + count) * SECTOR] == data:
                    ok = True
                    break
        if not ok:
            sys.exit(f"{name}: its bytes are no logged write's at sector {first}")
        checked += 1
    print(checked)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    cmds = {"write": cmd_write, "model": cmd_model, "bits": cmd_bits, "granules": cmd_granules,
            "differ": cmd_differ, "journal": cmd_journal, "spilled": cmd_spilled,
            "coverage": cmd_coverage}
    if sys.argv[1] not in cmds:
        sys.exit(__doc__)
    cmds[sys.argv[1]](sys.argv[2:])


if __name__ == "__main__":
    main()
