#!/usr/bin/env python3
"""brindlecast with the echo plug-in, driven by real clients on 127.0.0.1
(curl, python's http.client, raw sockets), every wait bounded. Expected
values come from what the test itself sent, decoded with python's own json
and base64 modules.
Usage: echo_e2e_test.py <brindlecast> <directory holding the echo plug-in>"""
import base64
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "server", "tests"))
import brindlecast_process  # noqa: E402

PROGRAM = sys.argv[1] if len(sys.argv) > 1 else "brindlecast"
PLUGIN_DIR = sys.argv[2] if len(sys.argv) > 2 else "."


def Server(extra=()):
    return brindlecast_process.Server(PROGRAM, PLUGIN_DIR, extra, prefix="echo-e2e-")


def request(server, method, path, body=None, headers=()):
    c = server.connection()
    c.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
    for name, value in headers:
        c.putheader(name, value)
    if body is not None:
        c.putheader("Content-Length", str(len(body)))
    c.endheaders(body)
    r = c.getresponse()
    data = r.read()
    c.close()
    return r, data


def multipart(boundary, parts):
    """parts: (name, filename or None, content type or None, data bytes)."""
    out = b""
    for name, filename, ctype, data in parts:
        out += b"--" + boundary + b"\r\n"
        disposition = b'Content-Disposition: form-data; name="' + name + b'"'
        if filename is not None:
            disposition += b'; filename="' + filename + b'"'
        out += disposition + b"\r\n"
        if ctype is not None:
            out += b"Content-Type: " + ctype + b"\r\n"
        out += b"\r\n" + data + b"\r\n"
    return out + b"--" + boundary + b"--\r\n"


class EchoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_get_echoes_the_request(self):
        sent = [("Host", "example"), ("X-Empty", ""), ("X-Text", 'quote " and \\ and caf\u00e9')]
        r, data = request(self.server, "GET", "/v1/echo?a=1&b=%22", headers=sent)
        self.assertEqual(r.status, 200)
        self.assertEqual(r.getheader("Content-Type"), "application/json")
        doc = json.loads(data.decode("utf-8"))
        self.assertEqual(doc["method"], "GET")
        self.assertEqual(doc["target"], "/v1/echo?a=1&b=%22")
        self.assertEqual(doc["body_length"], 0)
        # http.client sends header values as latin-1
        expected = [{"name": n, "value": v.encode("latin-1").decode("utf-8", errors="replace")} for n, v in sent]
        self.assertEqual(doc["headers"], expected)

    def test_get_with_body_length_and_folded_header(self):
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as s:
            s.sendall(b"GET /fold HTTP/1.1\r\nX-A: one\r\n  two\r\nContent-Length: 5\r\n\r\nhello")
            data = b""
            while b"\r\n\r\n" not in data:
                data += s.recv(65536)
            head, _, body = data.partition(b"\r\n\r\n")
            length = int([l for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")][0].split(b":")[1])
            while len(body) < length:
                body += s.recv(65536)
        doc = json.loads(body.decode())
        self.assertEqual(doc["body_length"], 5)
        self.assertEqual(doc["headers"][0], {"name": "X-A", "value": "one"})
        self.assertIsNone(doc["headers"][1]["name"])
        self.assertIn("two", doc["headers"][1]["value"])

    def test_curl_upload_of_one_mebibyte(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "block.bin")
            content = os.urandom(1 << 20)
            with open(path, "wb") as f:
                f.write(content)
            for method in ("POST", "PUT"):
                out = subprocess.run(["curl", "-s", "-S", "--max-time", "30", "-X", method, "-F", "block_count=3",
                                      "-F", "block_content=@" + path,
                                      "http://127.0.0.1:%d/v1/model" % self.server.port],
                                     check=True, stdout=subprocess.PIPE, timeout=60).stdout
                parts = json.loads(out)["parts"]
                self.assertEqual([p["name"] for p in parts], ["block_count", "block_content"], method)
                self.assertEqual(base64.b64decode(parts[0]["data"]), b"3")
                self.assertEqual(parts[0]["filename"], "")
                self.assertEqual(parts[1]["filename"], "block.bin")
                self.assertEqual(parts[1]["content_type"], "application/octet-stream")
                self.assertEqual(parts[1]["length"], len(content))
                self.assertEqual(base64.b64decode(parts[1]["data"]), content, method)

    def test_short_boundary_inside_the_data(self):
        boundary = b"qz"
        tricky = b"a--qz b--qz--\n--qz\r--qz x" + bytes(range(256)) + b"--qz"
        body = multipart(boundary, [(b"first", None, b"application/vnd.kestrune.tensor.float32", tricky),
                                    (b"second", b"s.bin", None, b"\r\n"),
                                    (b"empty", None, None, b"")])
        r, data = request(self.server, "POST", "/v1/infer", body,
                          [("Content-Type", "multipart/form-data; boundary=qz")])
        self.assertEqual(r.status, 200)
        parts = json.loads(data)["parts"]
        self.assertEqual([(p["name"], p["filename"], p["content_type"], base64.b64decode(p["data"]))
                          for p in parts],
                         [("first", "", "application/vnd.kestrune.tensor.float32", tricky),
                          ("second", "s.bin", "", b"\r\n"), ("empty", "", "", b"")])

    def test_jpeg_like_body_has_no_parts(self):
        jpeg = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00" + os.urandom(4096) + b"\xff\xd9"
        r, data = request(self.server, "POST", "/v1/infer", jpeg, [("Content-Type", "image/jpeg")])
        self.assertEqual(r.status, 200)
        self.assertEqual(json.loads(data), {"parts": []})

    def test_options_is_204_with_an_empty_type(self):
        r, data = request(self.server, "OPTIONS", "/v1/model")
        self.assertEqual(r.status, 204)
        self.assertEqual(r.getheader("Content-Type"), "")
        self.assertIsNone(r.getheader("Content-Length"))
        self.assertEqual(data, b"")

    def test_writer_failure_is_500(self):
        r, data = request(self.server, "GET", "/v1/echo?json_limit=0")
        self.assertEqual((r.status, r.getheader("Content-Type"), data),
                         (500, "text/plain", b"JSON Response Too Large"))
        r, data = request(self.server, "PUT", "/v1/model?json_limit=40", multipart(b"X", [(b"n", None, None, b"x" * 100)]))
        self.assertEqual((r.status, data), (500, b"JSON Response Too Large"))
        # the next request grows the buffer again
        r, data = request(self.server, "GET", "/v1/echo")
        self.assertEqual(r.status, 200)
        self.assertEqual(json.loads(data)["target"], "/v1/echo")


class DatagramTest(unittest.TestCase):
    def test_datagram_to_a_plugin_without_rpc_is_dropped(self):
        server = Server(["-U", "{tmp}/rpc.sock"])
        try:
            path = os.path.join(server.tmp, "rpc.sock")
            deadline = time.time() + 5
            while not os.path.exists(path) and time.time() < deadline:
                time.sleep(0.02)
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
                s.settimeout(5)
                s.sendto(b"\x01\x00\x00\x00not an rpc of this engine", path)
                s.sendto(b"second", path)
            time.sleep(0.3)
            before = server.cpu_seconds()
            time.sleep(2.0)
            used = server.cpu_seconds() - before
            self.assertLess(used, 0.10, "serving loop spins after a datagram: %.2f s CPU in 2 s" % used)
            r, data = request(server, "GET", "/after")
            self.assertEqual(json.loads(data)["target"], "/after")
            self.assertEqual(server.stderr().count("[WARNING] "), 1, server.stderr())
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
