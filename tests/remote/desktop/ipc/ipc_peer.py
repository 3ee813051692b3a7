"""A stand-in desktop helper for the relay tests, run as the test's users.

  ipc_peer.py PATH helper      connect, say hello, print each line until closed
  ipc_peer.py PATH returning   the same, then try to connect again
  ipc_peer.py PATH probe STOP  connect in a loop until the file STOP exists; report any success
  ipc_peer.py PATH flood       100 MB without LF, then lines as fast as possible; never reads
"""
import os
import socket
import sys
import time

path, mode = sys.argv[1], sys.argv[2]


def say(text):
    print(text, flush=True)


def connect(attempts):
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
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            # Connected at all means the kernel let us in; reading tells whether the
            # server kept us.
            s.settimeout(2)
            say("CONNECTED" if s.recv(1) else "connected then dropped")
        except OSError:
            pass
        finally:
            s.close()
    sys.exit(0)

sock, error = connect(200)
if not sock:
    say("could not connect: " + str(error))
    sys.exit(2)
say("connected")

if mode == "flood":
    chunk = b"x" * (1 << 20)
    for _ in range(100):
        sock.sendall(chunk)
    sock.sendall(b"\n")
    line = b'{"type":"desktop.signal","session_id":"flood","data":"' + b"y" * 1000 + b'"}\n'
    try:
        while True:
            sock.sendall(line * 64)
    except OSError:
        say("closed")
    sys.exit(0)

try:
    sock.sendall(("hello from %d\n" % os.getuid()).encode())
except OSError:  # already thrown out
    pass
buffered = b""
while True:
    try:
        data = sock.recv(65536)
    except OSError:  # a server closing on unread input resets the connection
        data = b""
    if not data:
        break
    buffered += data
    while b"\n" in buffered:
        line, buffered = buffered.split(b"\n", 1)
        say("got " + line.decode())
say("closed")
if mode != "returning":
    sys.exit(0)
again, error = connect(40)
say("reconnected" if again else "reconnect failed: " + str(error))
