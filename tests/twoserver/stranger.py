#!/usr/bin/env python3
"""A host that is not the device's peer, for the two-server tests.

  stranger.py SOURCE ADDR PORT READY RESULT [--ack1 MINOR COUNT]

Connects from SOURCE to a DATA listener at ADDR:PORT (retrying for up to
20 s), sends the negotiation message and, with --ack1, ACK1 status 0 for
the first COUNT request ids of MINOR, as a host that wants the active to
take writes for mirrored would. Then it stays silent and writes READY.
It waits up to 60 s for the listener to close the connection and writes
"closed" or "held" to RESULT, then exits.
"""
import select
import socket
import struct
import sys
import time

MAGIC = 0x25609513
CMD_ACK1 = 1
CMD_NEGOTIATE = 8


def head(cmd, request_id, status):
    # magic, cmd, start_sector, end_sector, request_id, status, length,
    # vec_count, vec_index, 12 reserved bytes: 56 bytes, big-endian.
    return struct.pack(">IIQQQIIHH12x", MAGIC, cmd, 0, 0, request_id, status, 0, 0, 0)


def main():
    source, addr, port, ready, result = sys.argv[1:6]
    port = int(port)
    ack1 = None
    if len(sys.argv) > 6 and sys.argv[6] == "--ack1":
        ack1 = (int(sys.argv[7]), int(sys.argv[8]))
    deadline = time.monotonic() + 20
    while True:
        s = socket.socket(socket.AF_INET6 if ":" in addr else socket.AF_INET)
        try:
            s.bind((source, 0))
            s.connect((addr, port))
            break
        except OSError:
            s.close()
            if time.monotonic() > deadline:
                sys.exit("stranger: cannot connect to %s:%d" % (addr, port))
            time.sleep(0.2)
    msg = struct.pack(">II", MAGIC, CMD_NEGOTIATE)
    if ack1:
        minor, count = ack1
        msg += b"".join(head(CMD_ACK1, (minor << 24) | n, 0) for n in range(1, count + 1))
    try:
        s.sendall(msg)
    except OSError:
        pass  # closed unread
    with open(ready, "w") as f:
        f.write("connected\n")
    state = "held"
    end = time.monotonic() + 60
    while time.monotonic() < end:
        r, _, _ = select.select([s], [], [], 0.5)
        if not r:
            continue
        try:
            data = s.recv(4096)
        except OSError:
            data = b""
        if not data:
            state = "closed"
            break
    s.close()
    with open(result, "w") as f:
        f.write(state + "\n")


if __name__ == "__main__":
    main()
