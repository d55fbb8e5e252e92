#!/usr/bin/env python3
"""The same KFM model served by `brindlecast -e ovx` and `brindlecast -e rt` on
127.0.0.1 ports, each sent one BMP picture and one raw tensor with curl: both
engines give the same label and the same outputs within a tolerance.  The
model is the colour demo that rt_models writes with the test KFM writer
(conv2d with relu, max pool, flatten, dense, softmax); the picture and the
tensor are made here.  Prints what each engine answered.
Usage: ovx_e2e_test.py <brindlecast> <rt_models> <folder of the plug-ins>"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "server", "tests"))
import brindlecast_process  # noqa: E402

PROGRAM, MODELS, PLUGIN_DIR = sys.argv[1:4]
CURL = ["curl", "-sS", "--max-time", "20", "-D", "-", "-H", "Expect:"]
ENGINES = ("ovx", "rt")
TOLERANCE = 1e-4


def environment():
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = PLUGIN_DIR + (":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    env.setdefault("OMP_NUM_THREADS", "2")
    return env


def bmp(width, height, rgb):
    """A 24-bit BMP; rgb(x, y) gives each pixel (rows stored bottom-up, BGR)."""
    row = (width * 3 + 3) // 4 * 4
    pixels = bytearray()
    for y in reversed(range(height)):
        line = bytearray()
        for x in range(width):
            r, g, b = rgb(x, y)
            line += bytes((b, g, r))
        pixels += line + bytes(row - len(line))
    head = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return head + info + bytes(pixels)


def split_reply(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    headers = dict(l.split(": ", 1) for l in lines[1:] if ": " in l)
    return int(lines[0].split()[1]), headers, body


class SameAnswers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ovx-e2e-")
        subprocess.run([MODELS, cls.tmp], check=True, timeout=60, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        cls.model = os.path.join(cls.tmp, "demo.kfm")
        # An 8x8 picture (the model's input size, so no engine resizes it):
        # mostly green, a red corner.
        cls.picture = os.path.join(cls.tmp, "picture.bmp")
        with open(cls.picture, "wb") as f:
            f.write(bmp(8, 8, lambda x, y: (230, 20, 10) if x < 3 and y < 3 else (15, 200 - 5 * y, 40 + 3 * x)))
        # A raw tensor: blue on the left half, red on the right.
        values = [c for y in range(8) for x in range(8)
                  for c in ((10.0, 30.0, 210.0 - y) if x < 4 else (190.0, 25.0, 5.0 * x))]
        cls.tensor = os.path.join(cls.tmp, "tensor.raw")
        with open(cls.tensor, "wb") as f:
            f.write(struct.pack("<192f", *values))
        cls.servers = {}
        try:
            for engine in ENGINES:
                cls.servers[engine] = brindlecast_process.Server(
                    PROGRAM, cls.tmp, ["-e", engine, "-m", cls.model], prefix="ovx-e2e-%s-" % engine,
                    env=environment(), start_timeout=20)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers.values():
            server.kill()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def curl(self, engine, content_type, path, accept, target):
        out = subprocess.run(CURL + ["-H", "Content-Type: " + content_type, "-H", "Accept: " + accept,
                                     "--data-binary", "@" + path, self.servers[engine].url(target)],
                             stdout=subprocess.PIPE, timeout=60, check=True).stdout
        return split_reply(out)

    def answers(self, content_type, path):
        """Each engine's label and output values for one body."""
        got = {}
        for engine in ENGINES:
            status, headers, label = self.curl(engine, content_type, path, "text/plain", "/v1/infer?run=1")
            self.assertEqual(status, 200, (engine, label))
            status, headers, body = self.curl(engine, content_type, path, "application/vnd.kestrune.tensor",
                                              "/v1/infer?run=1&output=output")
            self.assertEqual(status, 200, (engine, body))
            self.assertEqual(headers["X-Tensor-Type"], "FLOAT32")
            values = struct.unpack("<%df" % (len(body) // 4), body)
            got[engine] = (label.decode(), values)
            print("%-3s %-28s label %-6s outputs %s" % (engine, os.path.basename(path), label.decode(),
                                                        " ".join("%.6f" % v for v in values)))
        return got

    def check_same(self, got):
        (ovx_label, ovx_values), (rt_label, rt_values) = got["ovx"], got["rt"]
        self.assertEqual(ovx_label, rt_label)
        self.assertEqual(len(ovx_values), 3)
        self.assertEqual(len(ovx_values), len(rt_values))
        for a, b in zip(ovx_values, rt_values):
            self.assertAlmostEqual(a, b, delta=TOLERANCE)

    def test_1_engines(self):
        for engine, want in (("ovx", "kestrunert openvx"), ("rt", "kestrunert")):
            out = subprocess.run(CURL + [self.servers[engine].url("/")], stdout=subprocess.PIPE, timeout=60,
                                 check=True).stdout
            status, _, body = split_reply(out)
            self.assertEqual(status, 200)
            self.assertEqual(json.loads(body)["engine"], want)

    def test_2_picture(self):
        got = self.answers("image/bmp", self.picture)
        self.check_same(got)
        self.assertEqual(got["ovx"][0], "green")

    def test_3_raw_tensor(self):
        got = self.answers("application/vnd.kestrune.tensor", self.tensor)
        self.check_same(got)

    def test_4_json_outputs(self):
        docs = {}
        for engine in ENGINES:
            status, _, body = self.curl(engine, "application/vnd.kestrune.tensor", self.tensor, "application/json",
                                        "/v1/infer?run=1&output=output")
            self.assertEqual(status, 200)
            docs[engine] = json.loads(body)["outputs"][0]
        for doc in docs.values():
            self.assertEqual((doc["name"], doc["datatype"], doc["shape"]), ("output", "FLOAT32", [1, 3]))
        self.assertIn("data", docs["ovx"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
