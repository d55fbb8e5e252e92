#!/usr/bin/env python3
"""Clients that would keep brindlecast to themselves: a request trickled in,
connections that stay silent, keep-alive clients sending requests back to
back.  The one serving loop must still get to every other client and to the
datagrams within a few seconds.  Everything runs on 127.0.0.1 and a UNIX
socket in the server's temporary folder, every wait bounded.
Usage: turns_test.py <brindlecast> <plug-in directory>"""
import os
import socket
import sys
import threading
import time
import unittest

import brindlecast_process

PROGRAM = sys.argv[1] if len(sys.argv) > 1 else "brindlecast"
PLUGIN_DIR = sys.argv[2] if len(sys.argv) > 2 else "."

REQUEST_TIME = 5.0  # what a request has to arrive whole, from its first byte


def read_reply(s):
    """One reply on socket s: (head text, body bytes), or None when the
    connection ends first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    head = head.decode()
    length = 0
    for line in head.split("\r\n")[1:]:
        name, _, value = line.partition(":")
        if name.lower() == "content-length":
            length = int(value)
    while len(body) < length:
        chunk = s.recv(65536)
        if not chunk:
            return None
        body += chunk
    return head, body


def ends_within(s, seconds):
    """True when the peer ends the connection within `seconds`."""
    s.settimeout(seconds)
    try:
        while s.recv(4096):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


class TurnsTest(unittest.TestCase):
    def setUp(self):
        self.server = brindlecast_process.Server(PROGRAM, PLUGIN_DIR, extra=["-U", "{tmp}/rpc.sock"],
                                                 prefix="brindlecast-turns-")
        self.sockets = []

    def tearDown(self):
        for s in self.sockets:
            s.close()
        code = self.server.stop()  # killed by its PID when /shutdown goes unanswered
        self.assertEqual(code, 0, self.server.final_stderr)

    def connect(self, timeout=10):
        s = socket.create_connection(("127.0.0.1", self.server.port), timeout=timeout)
        self.sockets.append(s)
        return s

    def timed_request(self, path, timeout=10):
        """Seconds until a new client's GET is answered."""
        t0 = time.monotonic()
        s = self.connect(timeout)
        s.sendall(b"GET %s HTTP/1.1\r\nHost: t\r\n\r\n" % path.encode())
        reply = read_reply(s)
        self.assertIsNotNone(reply, "no reply to " + path)
        self.assertTrue(reply[1].startswith(b"GET " + path.encode() + b"\n"), reply)
        return time.monotonic() - t0

    def test_trickling_request_is_cut_off_at_its_deadline(self):
        trickler = self.connect()
        stop = threading.Event()
        first_byte = []

        def trickle():
            # a head that would take 30 s to arrive, one byte every 0.3 s
            for b in (b"GET /slow HTTP/1.1\r\nX-Pad: " + b"p" * 100):
                if stop.is_set():
                    return
                try:
                    trickler.send(bytes([b]))
                except OSError:
                    return
                if not first_byte:
                    first_byte.append(time.monotonic())
                time.sleep(0.3)

        t = threading.Thread(target=trickle)
        t.start()
        try:
            time.sleep(1.0)
            waited = self.timed_request("/other", timeout=15)
            # the other client waits at most for the trickler's deadline
            self.assertLess(waited, REQUEST_TIME + 1.5)
            self.assertTrue(ends_within(trickler, 3))
            cut_after = time.monotonic() - first_byte[0]
            self.assertLess(cut_after, REQUEST_TIME + 2.0)
        finally:
            stop.set()
            t.join(timeout=10)
        self.assertIn("http_loop error: Resource temporarily unavailable\n", self.server.stderr())

    def test_waiting_connection_gives_way_to_a_new_client(self):
        # (what the first client did before falling silent, whether the
        # connection is a new one)
        for label, first_request in (("new connection", False), ("kept alive", True)):
            with self.subTest(label):
                quiet = self.connect()
                if first_request:
                    quiet.sendall(b"GET /first HTTP/1.1\r\n\r\n")
                    head, _ = read_reply(quiet)
                    self.assertNotIn("Connection: close", head)  # nobody was waiting
                time.sleep(0.2)
                self.assertLess(self.timed_request("/next"), 2.5)
                self.assertTrue(ends_within(quiet, 1))
        self.assertNotIn("http_loop error", self.server.stderr())

    def test_keep_alive_clients_are_served_in_turn(self):
        stop = threading.Event()
        clients = 4
        served = [0] * clients
        told_to_close = [0] * clients
        errors = []

        def hammer(i):
            s = None
            try:
                while not stop.is_set():
                    if s is None:
                        s = socket.create_connection(("127.0.0.1", self.server.port), timeout=10)
                    try:
                        s.sendall(b"GET /h%d HTTP/1.1\r\n\r\n" % i)
                        reply = read_reply(s)
                    except (ConnectionResetError, BrokenPipeError):
                        reply = None  # ended while the request was on its way
                    if reply is None:  # an idle connection ended: open another
                        s.close()
                        s = None
                        continue
                    served[i] += 1
                    if "\r\nConnection: close" in reply[0]:
                        told_to_close[i] += 1
                        s.close()
                        s = None
            except OSError as e:
                errors.append(e)
            finally:
                if s is not None:
                    s.close()

        threads = [threading.Thread(target=hammer, args=(i,)) for i in range(clients)]
        for t in threads:
            t.start()
        try:
            time.sleep(0.5)
            self.assertLess(self.timed_request("/late"), 2.0)
            time.sleep(1.0)
        finally:
            stop.set()
            for t in threads:
                t.join(timeout=15)
        self.assertEqual(errors, [])
        for i in range(clients):
            self.assertGreater(served[i], 1, "client %d: %s" % (i, served))
            self.assertGreater(told_to_close[i], 0, "client %d: %s" % (i, told_to_close))

    def test_lone_keep_alive_client_keeps_its_connection(self):
        s = self.connect()
        for i in range(50):
            s.sendall(b"GET /k%d HTTP/1.1\r\n\r\n" % i)
            head, _ = read_reply(s)
            self.assertNotIn("Connection: close", head)

    def test_reply_closing_its_connection_is_not_closed_again(self):
        s = self.connect()
        s.sendall(b"GET /close HTTP/1.1\r\n\r\n")
        head, body = read_reply(s)
        self.assertIn("\r\nConnection: close", head)
        self.assertTrue(ends_within(s, 2))
        self.assertLess(self.timed_request("/after"), 2.0)
        self.assertNotIn("http_loop error", self.server.stderr())

    def test_datagram_answered_while_silent_connections_wait(self):
        for _ in range(3):
            self.connect()
        time.sleep(0.2)
        rpc = os.path.join(self.server.tmp, "rpc.sock")
        me = os.path.join(self.server.tmp, "client.sock")
        d = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sockets.append(d)
        d.bind(me)
        d.settimeout(4)
        t0 = time.monotonic()
        d.sendto(b"ping", rpc)
        self.assertEqual(d.recv(256), b"ping")
        self.assertLess(time.monotonic() - t0, 2.5)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
