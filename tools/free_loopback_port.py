#!/usr/bin/python3
"""A loopback port that is free now, on 127.0.0.1 and on ::1 where the machine has it.

    free_loopback_port.py           prints one, in 20000-32767
    free_loopback_port.py --check N exit code 0 when N is free

A port compiled into a build must not be shared by two runs on one machine; below Linux's
ephemeral range (32768-60999), client connections do not take it later."""

import errno
import random
import socket
import sys


def free(port):
    for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        try:
            s = socket.socket(family, socket.SOCK_STREAM)
        except OSError:
            continue  # no IPv6 here
        with s:
            if family == socket.AF_INET6:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            try:
                s.bind((address, port))
            except OSError as e:
                if family == socket.AF_INET6 and e.errno == errno.EADDRNOTAVAIL:
                    continue  # no ::1 here
                return False
    return True


def main(argv):
    if len(argv) == 2 and argv[0] == "--check":
        return 0 if free(int(argv[1])) else 1
    for port in random.sample(range(20000, 32768), 200):
        if free(port):
            print(port)
            return 0
    sys.exit("free_loopback_port: no free loopback port in 20000-32767")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
