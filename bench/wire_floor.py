"""The measured floor of a first frame: a minimal BitTorrent client that asks the lab's seeders
for exactly the blocks the first frame needs and nothing else, and times their arrival.

It speaks plain TCP (no uTP, no encryption), says `interested` right after the handshake, and
asks every unchoked seeder for blocks from one shared list (those of pieces its bitfield shows), keeping a few requests out at each;
when the list runs dry, idle seeders are asked for blocks still out elsewhere and the first copy
wins. No hashing, no disk. What it cannot beat is what the seeders themselves add: a seeder that
answers a handshake only on its next tick, or sends in bursts once a second to keep a rate limit
(aria2 does both), costs any client the same. The computed floor (bytes / rate + two round
trips) leaves those out; this one keeps them in."""
import os
import selectors
import socket
import struct
import time

BLOCK = 16384
PSTR = b"\x13BitTorrent protocol"
OUTSTANDING = 24  # requests kept out at a seeder: a second of data at 400 KB/s


def needed_blocks(ranges, piece, total):
    """(piece, begin, length) of every block that holds a byte of the given torrent ranges."""
    out = []
    seen = set()
    for a, b in ranges:
        for start in range(a // BLOCK * BLOCK, min(b, total), BLOCK):
            p, begin = divmod(start, piece)
            length = min(BLOCK, piece - begin, total - start)
            if (p, begin) not in seen:
                seen.add((p, begin))
                out.append((p, begin, length))
    return out


class Peer:
    def __init__(self, endpoint, info_hash):
        host, port = endpoint.rsplit(":", 1)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setblocking(False)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.connect_ex((host, int(port)))
        self.out = PSTR + bytes(8) + info_hash + b"-SV0001-" + os.urandom(6).hex()[:12].encode()
        self.inbuf = b""
        self.shook = False
        self.unchoked = False
        self.asked = set()
        self.dead = False
        self.has = None  # pieces from its bitfield and haves; None until it sent one (a partial peer)

    def holds(self, block):
        return self.has is None or block[0] in self.has

    def request(self, block):
        p, begin, length = block
        self.out += struct.pack(">IBIII", 13, 6, p, begin, length)
        self.asked.add(block)

    def messages(self):
        """Complete messages received so far: (id, payload); keep-alives are dropped."""
        if not self.shook:
            if len(self.inbuf) < 68:
                return
            self.inbuf, self.shook = self.inbuf[68:], True
            # After the seeder's handshake: aria2 drops a connection whose first packet carries
            # more than the handshake.
            self.out += struct.pack(">IB", 1, 2)  # interested
        while len(self.inbuf) >= 4:
            (n,) = struct.unpack(">I", self.inbuf[:4])
            if len(self.inbuf) < 4 + n:
                return
            msg, self.inbuf = self.inbuf[4:4 + n], self.inbuf[4 + n:]
            if n:
                yield msg[0], msg[1:]


def measure(endpoints, info_hash_hex, piece, total, ranges, timeout=60.0):
    """Seconds from the first connect until every needed block has arrived; None when the
    seeders did not deliver them within the time-out (or none could be reached)."""
    want = needed_blocks(ranges, piece, total)
    if not want or not endpoints:
        return None
    pending = list(want)
    missing = set(want)
    sel = selectors.DefaultSelector()
    peers = [Peer(e, bytes.fromhex(info_hash_hex)) for e in endpoints]
    t0 = time.monotonic()
    for p in peers:
        sel.register(p.sock, selectors.EVENT_READ | selectors.EVENT_WRITE, p)
    try:
        while missing and time.monotonic() - t0 < timeout:
            for p in peers:
                if p.dead or not p.unchoked:
                    continue
                for block in [b for b in pending if p.holds(b)][:max(0, OUTSTANDING - len(p.asked))]:
                    pending.remove(block)
                    if block in missing:
                        p.request(block)
                if not [b for b in pending if p.holds(b)] and not p.asked:
                    # End game: the first copy of a block still out elsewhere wins.
                    for b in [b for b in missing if b not in p.asked and p.holds(b)][:OUTSTANDING]:
                        p.request(b)
            for p in peers:
                if not p.dead:
                    sel.modify(p.sock, selectors.EVENT_READ | (selectors.EVENT_WRITE if p.out else 0), p)
            for key, events in sel.select(0.05):
                p = key.data
                try:
                    if events & selectors.EVENT_WRITE and p.out:
                        p.out = p.out[p.sock.send(p.out):]
                    if events & selectors.EVENT_READ:
                        data = p.sock.recv(1 << 20)
                        if not data:
                            raise OSError("closed")
                        p.inbuf += data
                except OSError:
                    p.dead = True
                    sel.unregister(p.sock)
                    pending.extend(b for b in p.asked if b in missing and b not in pending)
                    continue
                for mid, payload in p.messages():
                    if mid == 5:
                        p.has = {i for i in range(len(payload) * 8) if payload[i // 8] & (0x80 >> (i % 8))}
                    elif mid == 4 and len(payload) >= 4:
                        p.has = (p.has or set()) | {struct.unpack(">I", payload[:4])[0]}
                    elif mid == 1:
                        p.unchoked = True
                    elif mid == 0:
                        p.unchoked = False
                        pending.extend(b for b in p.asked if b in missing and b not in pending)
                        p.asked.clear()
                    elif mid == 7 and len(payload) >= 8:
                        idx, begin = struct.unpack(">II", payload[:8])
                        block = (idx, begin, len(payload) - 8)
                        p.asked.discard(block)
                        missing.discard(block)
        return round(time.monotonic() - t0, 3) if not missing else None
    finally:
        for p in peers:
            p.sock.close()
