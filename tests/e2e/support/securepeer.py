"""The secure channel's peer in Python, for tests: frames, the handshake and sealed messages,
built from the channel's page (docs/secure-channel.md) with the standard library's HMAC, so a test
can play the Server (or record and replay what one sent) byte for byte."""

import hashlib
import hmac
import os
import struct

MAGIC = b"TVSC"
VERSION = 1
HELLO, CHALLENGE, PROOF, ACCEPT = 0x01, 0x02, 0x03, 0x04
REPORT, LINE_LIST_UPDATE, SWITCH_COMMAND, HEALTH, ROLLBACK = 0x10, 0x11, 0x12, 0x13, 0x14


def site_key(text):
    return hashlib.sha256(b"torvane site key\0" + text.encode("utf-8")).digest()


def hmac256(key, message):
    return hmac.new(key, message, hashlib.sha256).digest()


def header(kind, length):
    return MAGIC + bytes([VERSION, kind]) + struct.pack(">I", length)


def frame(kind, payload):
    return header(kind, len(payload)) + payload


class FrameReader:
    """Cuts whole frames out of a byte stream: (type, payload, header) tuples."""

    def __init__(self):
        self.buffer = b""

    def feed(self, data):
        self.buffer += data
        frames = []
        while len(self.buffer) >= 10:
            if self.buffer[:5] != MAGIC + bytes([VERSION]):
                raise ValueError("bad frame header %r" % self.buffer[:10])
            length = struct.unpack(">I", self.buffer[6:10])[0]
            if len(self.buffer) < 10 + length:
                break
            frames.append((self.buffer[5], self.buffer[10:10 + length], self.buffer[:10]))
            self.buffer = self.buffer[10 + length:]
        return frames


class ServerSession:
    """The Server's side of one connection: feed it what the Client sent, send what it returns."""

    def __init__(self, key):
        self.key = key
        self.reader = FrameReader()
        self.client_nonce = self.server_nonce = None
        self.send_key = self.receive_key = None
        self.send_counter = self.receive_counter = 0
        self.open = False

    def feed(self, data):
        """Returns (bytes to send, [(type, body)] of authenticated messages)."""
        out, messages = b"", []
        for kind, payload, head in self.reader.feed(data):
            if kind == HELLO and self.client_nonce is None:
                self.client_nonce = payload
                self.server_nonce = os.urandom(32)
                out += frame(CHALLENGE, self.server_nonce)
            elif kind == PROOF and not self.open:
                nonces = self.client_nonce + self.server_nonce
                if not hmac.compare_digest(payload,
                                           hmac256(self.key, b"torvane client proof" + nonces)):
                    raise ValueError("the client's proof does not match")
                out += frame(ACCEPT, hmac256(self.key, b"torvane server proof" + nonces))
                session = hmac256(self.key, b"torvane session" + nonces)
                self.receive_key = hmac256(session, b"client to server")
                self.send_key = hmac256(session, b"server to client")
                self.open = True
            elif self.open:
                signed, tag = payload[:-32], payload[-32:]
                if not hmac.compare_digest(tag, hmac256(self.receive_key, head + signed)):
                    raise ValueError("tag does not match")
                counter = struct.unpack(">Q", signed[:8])[0]
                if counter != self.receive_counter + 1:
                    raise ValueError("counter %d out of step" % counter)
                self.receive_counter = counter
                messages.append((kind, signed[8:]))
            else:
                raise ValueError("unexpected frame type %d" % kind)
        return out, messages

    def seal(self, kind, body, key=None):
        self.send_counter += 1
        signed = struct.pack(">Q", self.send_counter) + body
        head = header(kind, len(signed) + 32)
        return head + signed + hmac256(key or self.send_key, head + signed)


def parse_fields(body):
    """A health or rollback body as a dict (keys in the order sent)."""
    fields = {}
    for line in body.decode("utf-8").splitlines():
        key, _, value = line.partition("=")
        fields[key] = value
    return fields
