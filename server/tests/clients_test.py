#!/usr/bin/env python3
"""Real HTTP clients against brindlecast with the stand-in plug-in: curl,
python's http.client, raw sockets and wrk, all on 127.0.0.1 with bounded
waits.  Usage: clients_test.py <brindlecast> <plug-in directory>"""
import http.client
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest
import zlib

import brindlecast_process

PROGRAM = sys.argv[1] if len(sys.argv) > 1 else "brindlecast"
PLUGIN_DIR = sys.argv[2] if len(sys.argv) > 2 else "."


def Server():
    return brindlecast_process.Server(PROGRAM, PLUGIN_DIR, prefix="brindlecast-clients-")


def describe(method, path, headers, body):
    """What the stand-in plug-in answers, computed here independently."""
    text = "%s %s\n" % (method, path)
    for name, value in headers:
        text += "%s:%d:%d\n" % (name, len(name), len(value))
    crc = zlib.crc32(body) & 0xFFFFFFFF if body is not None else 0
    return text + "body %d %08x\n" % (len(body) if body is not None else 0, crc)


def raw_exchange(port, data, timeout=3):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.sendall(data)
    return s


def read_until_close(s, limit=1 << 20):
    out = b""
    try:
        while len(out) < limit:
            chunk = s.recv(65536)
            if not chunk:
                break
            out += chunk
    except (socket.timeout, ConnectionResetError):
        pass
    return out


class ClientsTest(unittest.TestCase):
    def setUp(self):
        self.server = Server()

    def tearDown(self):
        code = self.server.stop()
        self.assertEqual(code, 0, self.server.final_stderr)

    def assertServing(self):
        c = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=3)
        c.request("GET", "/alive")
        r = c.getresponse()
        self.assertEqual(r.status, 200)
        r.read()
        c.close()

    def test_curl_reuses_connection(self):
        r = subprocess.run(["curl", "-sv", "--max-time", "10", self.server.url("/one"),
                            self.server.url("/two"), self.server.url("/sized/0"), self.server.url("/three")],
                           capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"Re-using existing connection", r.stderr)
        self.assertIn(b"GET /one\n", r.stdout)
        self.assertIn(b"GET /three\n", r.stdout)

    def test_curl_form_put_with_expect_is_fast(self):
        blob = os.path.join(self.server.tmp, "blob.bin")
        with open(blob, "wb") as f:
            f.write(bytes(range(256)) * 4096)  # 1 MiB
        r = subprocess.run(["curl", "-sSv", "--max-time", "10", "-X", "PUT", "-F", "model=@" + blob,
                            "-w", "\ntime_total=%{time_total}\n", self.server.url("/v1/model")],
                           capture_output=True, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"Expect:6:12\n", r.stdout)
        # curl gives up waiting for the interim 100 after a second
        self.assertNotIn(b"Done waiting for 100-continue", r.stderr)
        elapsed = float(r.stdout.rsplit(b"time_total=", 1)[1])
        self.assertLess(elapsed, 0.5)

    def test_http_client_keep_alive(self):
        c = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=3)
        body = os.urandom(3000)
        for i in range(5):
            c.request("POST", "/p%d" % i, body=body, headers={"X-I": str(i)})
            r = c.getresponse()
            self.assertEqual(r.status, 200)
            got = r.read().decode()
            self.assertTrue(got.startswith("POST /p%d\n" % i), got)
            self.assertTrue(got.endswith("body %d %08x\n" % (len(body), zlib.crc32(body) & 0xFFFFFFFF)), got)
        # an empty reply is framed, so the next request goes at once
        t0 = time.time()
        c.request("GET", "/sized/0")
        r = c.getresponse()
        self.assertEqual(r.read(), b"")
        c.request("GET", "/after")
        self.assertEqual(c.getresponse().status, 200)
        self.assertLess(time.time() - t0, 1.0)
        c.close()

    def test_http_client_chunked_body_gets_411(self):
        # The request goes out whole, as http.client frames a chunked body: the
        # server answers 411 and closes, so a client still sending its chunks
        # would race that close (a broken pipe on a loaded machine).
        s = raw_exchange(self.server.port,
                         b"PUT /v1/model HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         b"Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n")
        reply = read_until_close(s)
        s.close()
        self.assertTrue(reply.startswith(b"HTTP/1.1 411 "), reply)
        self.assertTrue(reply.endswith(b"Length Required"), reply)
        self.assertServing()

    def test_raw_sockets_survive_abuse(self):
        port = self.server.port
        # reset mid-body
        s = raw_exchange(port, b"PUT /x HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + b"a" * 1000)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
        self.assertServing()
        # reset mid-head
        s = raw_exchange(port, b"GET /x HTTP/1.1\r\nHost")
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
        self.assertServing()
        # reset during a large reply
        s = raw_exchange(port, b"GET /sized/8000000 HTTP/1.1\r\n\r\n")
        s.recv(1000)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
        self.assertServing()
        # slow drip of a whole request
        s = socket.create_connection(("127.0.0.1", port), timeout=3)
        for b in b"GET /drip HTTP/1.1\r\nA: b\r\n\r\n":
            s.send(bytes([b]))
            time.sleep(0.01)
        s.shutdown(socket.SHUT_WR)  # half-close: the reply still comes
        got = read_until_close(s)
        s.close()
        self.assertTrue(got.endswith(describe("GET", "/drip", [("A", "b")], None).encode()), got)
        # 33 headers: the connection ends without a reply
        s = raw_exchange(port, b"GET / HTTP/1.1\r\n" + b"".join(b"H%d: v\r\n" % i for i in range(33)) + b"\r\n")
        self.assertEqual(read_until_close(s), b"")
        s.close()
        # continuation lines reach the handler as nameless headers
        s = raw_exchange(port, b"GET /c HTTP/1.1\r\nA: 1\r\n  more\r\n\r\n")
        s.shutdown(socket.SHUT_WR)
        got = read_until_close(s)
        s.close()
        self.assertTrue(got.endswith(b"GET /c\nA:1:1\n:0:6\nbody 0 00000000\n"), got)
        self.assertServing()
        err = self.server.stderr()
        self.assertIn("invalid http request GET / HTTP/1.1", err)

    def test_wrk(self):
        if not shutil.which("wrk"):
            self.skipTest("wrk is not installed")
        script = os.path.join(self.server.tmp, "post.lua")
        with open(script, "w") as f:
            f.write('wrk.method = "POST"\nwrk.body = string.rep("x", 1000)\n'
                    'wrk.headers["Content-Type"] = "application/octet-stream"\n')
        r = subprocess.run(["wrk", "-t1", "-c1", "-d3s", "-s", script, self.server.url("/post")],
                           capture_output=True, timeout=30)
        out = r.stdout.decode()
        self.assertEqual(r.returncode, 0, out)
        self.assertNotIn("Socket errors", out)
        self.assertNotIn("Non-2xx", out)
        self.assertIn("requests in", out)
        r = subprocess.run(["wrk", "-t1", "-c8", "-d3s", self.server.url("/many")],
                           capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stdout)
        # the server is still answering (the shutdown in tearDown checks /shutdown)
        self.assertServing()


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
