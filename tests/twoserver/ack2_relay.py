#!/usr/bin/env python3
"""A relay for the ACK2 connection of the two-server tests.

  ack2_relay.py LISTEN_ADDR LISTEN_PORT TARGET_ADDR TARGET_PORT DROP_FILE COUNT_FILE

Accepts the active server's ACK2 connections one at a time and reads them
in 56-byte heads. While DROP_FILE exists every head is dropped; otherwise
it is passed on to the standby's ACK2 listener at TARGET. After each head
the number of heads seen so far and the number dropped are written to
COUNT_FILE ("seen dropped"). Runs until killed.
"""
import os
import socket
import sys

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
    laddr, lport, taddr, tport, drop_file, count_file = sys.argv[1:7]
    family = socket.AF_INET6 if ":" in laddr else socket.AF_INET
    lsock = socket.socket(family, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind((laddr, int(lport)))
    lsock.listen(8)
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
                        target = socket.create_connection((taddr, int(tport)), timeout=10)
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
