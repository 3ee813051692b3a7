"""A stand-in desktop helper for the relay tests, run as the test's users.

  ipc_peer.py PATH helper      connect, print each line until closed
  ipc_peer.py PATH answer N FILE  the same; after the Nth line send FILE's bytes as they are
  ipc_peer.py PATH burst N FILE   the same, but hang up once FILE is sent
  ipc_peer.py PATH probe STOP  connect in a loop until the file STOP exists; report any success
  ipc_peer.py PATH flood       100 MB without LF, then lines as fast as possible; never reads
"""
import os
import socket
import sys
import time

path, mode = sys.argv[1], sys.argv[2]
sys.stdout.reconfigure(line_buffering=True)  # the test reads what we print as we run


def connect(attempts):
    error = None
    for _ in range(attempts):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s, None
        except OSError as e:
            s.close()
            error = e.strerror
            time.sleep(0.05)
    return None, error


if mode == "probe":
    while not os.path.exists(sys.argv[3]):
        s, _ = connect(1)
        if s:  # the kernel let us in: whatever the server then does, that was too much
            print("CONNECTED")
            s.close()
    sys.exit(0)

sock, error = connect(200)
if not sock:
    sys.exit("could not connect: " + str(error))
print("connected")
try:
    if mode == "flood":
        for _ in range(100):
            sock.sendall(b"x" * (1 << 20))
        line = b'{"type":"desktop.signal","session_id":"flood","data":"' + b"y" * 1000 + b'"}\n'
        sock.sendall(b"\n")
        while True:
            sock.sendall(line * 64)
    count = 0
    for line in sock.makefile("rb"):
        print("got " + line.decode().rstrip("\n"))
        count += 1
        if mode in ("answer", "burst") and count == int(sys.argv[3]):
            with open(sys.argv[4], "rb") as f:
                sock.sendall(f.read())
            if mode == "burst":
                break
except OSError:  # thrown out; a server closing on unread input resets the connection
    pass
print("closed")
