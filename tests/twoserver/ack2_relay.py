#!/usr/bin/env python3
"""A relay for the ACK2 connection of the two-server tests.

  ack2_relay.py LISTEN_ADDR LISTEN_PORT TARGET_ADDR TARGET_PORT DROP_FILE COUNT_FILE \
                SOURCE_ADDR [LISTEN_NETNS]

Accepts the active server's ACK2 connections one at a time and reads them
in 56-byte heads. While DROP_FILE exists every head is dropped; otherwise
it is passed on to the standby's ACK2 listener at TARGET. After each head
the number of heads seen so far and the number dropped are written to
COUNT_FILE ("seen dropped"). Runs until killed.

The standby accepts ACK2 connections only from the active's address, so the
relay's own connection to it leaves from SOURCE_ADDR, the active's address.
With LISTEN_NETNS (a name under /run/netns) the listening socket is made in
that namespace (the standby's) and the relay runs in the one it was started
in (the active's), so that its connection crosses the link as the active's
own would.
"""
import ctypes
import os
import socket
import sys

CLONE_NEWNET = 0x40000000


def setns(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        if ctypes.CDLL(None, use_errno=True).setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + path)
    finally:
        os.close(fd)


def listener(laddr, lport, netns):
    family = socket.AF_INET6 if ":" in laddr else socket.AF_INET
    home = "/proc/self/ns/net"
    home_fd = os.open(home, os.O_RDONLY) if netns else None
    try:
        if netns:
            setns("/run/netns/" + netns)
        lsock = socket.socket(family, socket.SOCK_STREAM)
    finally:
        if netns:
            if ctypes.CDLL(None, use_errno=True).setns(home_fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns back")
            os.close(home_fd)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind((laddr, int(lport)))
    lsock.listen(8)
    return lsock

HEAD = 56


def recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        part = sock.recv(n - len(buf))
        if not part:
            return None
        buf += part
    return buf


def main():
    laddr, lport, taddr, tport, drop_file, count_file, saddr = sys.argv[1:8]
    netns = sys.argv[8] if len(sys.argv) > 8 else None
    lsock = listener(laddr, lport, netns)
    seen = dropped = 0
    with open(count_file, "w") as f:
        f.write("0 0\n")
    while True:
        conn, _ = lsock.accept()
        target = None
        try:
            while True:
                head = recv_exact(conn, HEAD)
                if head is None:
                    break
                seen += 1
                if os.path.exists(drop_file):
                    dropped += 1
                else:
                    if target is None:
                        target = socket.create_connection((taddr, int(tport)), timeout=10,
                                                          source_address=(saddr, 0))
                    target.sendall(head)
                tmp = count_file + ".tmp"
                with open(tmp, "w") as f:
                    f.write(f"{seen} {dropped}\n")
                os.replace(tmp, count_file)
        except OSError:
            pass
        finally:
            conn.close()
            if target is not None:
                target.close()


if __name__ == "__main__":
    main()
