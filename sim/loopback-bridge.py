#!/usr/bin/python3
"""loopback-bridge.py HOST-NETNS PORT-FILE: relays TCP connections from 127.0.0.1 of the
network namespace HOST-NETNS (the machine's own, seen from the PC side of a simulated LAN as
/proc/1/ns/net) to the same port on 127.0.0.1 here (the PC side), so that a browser of the
machine reaches a server on the PC side's loopback under the same address. The port, a free
one of the machine's loopback, is written to PORT-FILE once the bridge listens. It runs until
it is ended.
"""
import ctypes
import os
import queue
import socket
import sys
import threading

CLONE_NEWNET = 0x40000000
host_netns, port_file = sys.argv[1], sys.argv[2]
libc = ctypes.CDLL(None, use_errno=True)
accepted = queue.Queue()
listening = threading.Event()
failure = []


def listen():
    """In a thread of its own, moved into the machine's namespace: its sockets are made there."""
    fd = os.open(host_netns, os.O_RDONLY)
    if libc.setns(fd, CLONE_NEWNET) != 0:
        failure.append(os.strerror(ctypes.get_errno()))
        listening.set()
        return
    os.close(fd)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(('127.0.0.1', 0))
    server.listen(16)
    with open(port_file + '.new', 'w') as f:
        f.write('%d\n' % server.getsockname()[1])
    os.rename(port_file + '.new', port_file)
    listening.set()
    while True:
        client, _ = server.accept()
        accepted.put((client, server.getsockname()[1]))


def pump(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    finally:
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


threading.Thread(target=listen, daemon=True).start()
listening.wait()
if failure:
    sys.exit('loopback-bridge: cannot enter the machine\'s network namespace: ' + failure[0])
while True:
    client, port = accepted.get()
    try:
        here = socket.create_connection(('127.0.0.1', port))  # made in this namespace
    except OSError:
        client.close()
        continue
    threading.Thread(target=pump, args=(client, here), daemon=True).start()
    threading.Thread(target=pump, args=(here, client), daemon=True).start()
