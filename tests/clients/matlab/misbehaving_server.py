"""A server on 127.0.0.1 that misbehaves on purpose, for the client's failure tests.

    misbehaving_server.py PORTFILE
Writes its port to PORTFILE, then serves connections one after the other:
the first never answers, the second sends half a handshake answer and closes,
the third answers the handshake and then sends a frame length of 2**40, the
fourth and fifth are closed at once, as the plug-in closes a client its
settings refuse.
"""
import os
import socket
import struct
import sys
import time

listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(4)
listener.settimeout(60)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])

role = b"Request Socket"
answer = struct.pack(">I", len(role) + 1) + role + b"\0" + struct.pack(">iii", 2, 0, 0)
answer = struct.pack(">q", len(answer)) + answer

stalled, _ = listener.accept()          # 1: stall
closing, _ = listener.accept()          # 2: half an answer, then close
closing.recv(1024)
closing.sendall(answer[:20])
closing.close()
oversized, _ = listener.accept()        # 3: oversized length after the handshake
oversized.recv(1024)
oversized.sendall(answer)
oversized.recv(1024)
oversized.sendall(struct.pack(">q", 1 << 40))
for _ in range(2):                      # 4, 5: refused
    refused, _ = listener.accept()
    refused.close()
time.sleep(10)
