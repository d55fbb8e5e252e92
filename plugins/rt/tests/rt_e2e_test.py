#!/usr/bin/env python3
"""brindlecast serving the runtime plug-in, driven by curl on 127.0.0.1, every
wait bounded; also the stand-alone benchmark. The models come from the
rt_models program (the test KFM writer); expected values are computed here.
Usage: rt_e2e_test.py <brindlecast> <rt_models> <folder of libbrindlecast-rt.so>"""
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "server", "tests"))
import brindlecast_process  # noqa: E402

PROGRAM, MODELS, PLUGIN_DIR = sys.argv[1:4]
CURL = ["curl", "-sS", "--max-time", "10", "-D", "-", "-H", "Expect:"]


def environment():
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = PLUGIN_DIR + (":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    env.setdefault("OMP_NUM_THREADS", "2")
    return env


def split_reply(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    status = int(lines[0].split()[1])
    headers = [tuple(l.split(": ", 1)) if ": " in l else (l.rstrip(":"), "") for l in lines[1:]]
    return status, headers, body


class RtServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="rt-e2e-")
        subprocess.run([MODELS, cls.tmp], check=True, timeout=60)
        # Started in the models' folder; its stderr lives in its own folder.
        cls.server = brindlecast_process.Server(
            PROGRAM, cls.tmp,
            ["-e", "rt", "-U", os.path.join(cls.tmp, "rt.sock"), "-m", os.path.join(cls.tmp, "softmax.kfm")],
            prefix="rt-e2e-server-", env=environment(), start_timeout=20)
        cls.port = cls.server.port
        cls.proc = cls.server.proc

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def curl(self, *args):
        out = subprocess.run(CURL + list(args), stdout=subprocess.PIPE, timeout=30, check=True).stdout
        return split_reply(out)

    def url(self, target):
        return "http://127.0.0.1:%d%s" % (self.port, target)

    def test_1_descriptions(self):
        status, headers, body = self.curl(self.url("/"))
        self.assertEqual(status, 200)
        doc = json.loads(body)
        self.assertEqual(doc["engine"], "kestrunert")
        self.assertEqual(doc["model"]["labels"], ["a", "b", "c", "d"])
        self.assertNotIn("plugin", doc)
        status, _, body = self.curl(self.url("/v1/model"))
        self.assertEqual(status, 200)
        doc = json.loads(body)
        self.assertEqual(doc["layer_count"], 2)
        self.assertEqual([l["name"] for l in doc["layers"]], ["input", "output"])

    def test_2_raw_posts(self):
        data = os.path.join(self.tmp, "in.raw")
        values = [0.25, -1.0, 3.5, 2.0]
        with open(data, "wb") as f:
            f.write(struct.pack("<4f", *values))
        status, headers, body = self.curl("-H", "Content-Type: application/vnd.kestrune.tensor", "-H",
                                          "Accept: text/plain", "--data-binary", "@" + data,
                                          self.url("/v1/infer?run=1"))
        self.assertEqual((status, body), (200, b"c"))
        probs = softmax(values)
        self.assertEqual(dict(headers)["X-Softmax"], "%f" % max(probs))
        status, headers, body = self.curl("-H", "Content-Type: application/vnd.kestrune.tensor", "-H",
                                          "Accept: application/vnd.kestrune.tensor", "--data-binary", "@" + data,
                                          self.url("/v1/infer?run=1&output=output"))
        self.assertEqual(status, 200)
        for got, want in zip(struct.unpack("<4f", body), probs):
            self.assertAlmostEqual(got, want, places=6)
        names = [h[0] for h in headers]
        self.assertEqual(names[-3:], ["X-Tensor-Type", "X-Tensor-Shape", "X-Model-Timing"])
        self.assertEqual(dict(headers)["X-Tensor-Shape"], "1 4 ")

    def test_3_block_upload_and_download(self):
        model = os.path.join(self.tmp, "demo.kfm")
        status, _, body = self.curl("-X", "PUT", "-F", "block_content=@" + model, self.url("/v1/model"))
        self.assertEqual((status, json.loads(body)), (200, {"reply": "success"}))
        out = os.path.join(self.tmp, "down.kfm")
        subprocess.run(["curl", "-sS", "--max-time", "10", "-H", "Accept: application/vnd.kestrune.kfm", "-o", out,
                        self.url("/v1/model")], check=True, timeout=30)
        self.assertEqual(subprocess.run(["cmp", model, out], timeout=30).returncode, 0)
        # The colour demo answers a picture with its colour.
        status, _, body = self.curl("-H", "Content-Type: image/x-portable-pixmap", "-H", "Accept: text/plain",
                                    "--data-binary", "@" + os.path.join(self.tmp, "blue.ppm"),
                                    self.url("/v1/infer?run=1"))
        self.assertEqual((status, body), (200, b"blue"))
        # A raw 8x8 picture, red on the left half and green on the right,
        # against the double-precision reference of the demo's layers.
        pixels = [(200.0, 40.0, 10.0) if x < 4 else (20.0, 180.0 + 5 * y, 60.0) for y in range(8) for x in range(8)]
        data = os.path.join(self.tmp, "halves.raw")
        with open(data, "wb") as f:
            f.write(struct.pack("<192f", *[c for p in pixels for c in p]))
        status, headers, body = self.curl("-H", "Content-Type: application/vnd.kestrune.tensor", "-H",
                                          "Accept: application/vnd.kestrune.tensor", "--data-binary", "@" + data,
                                          self.url("/v1/infer?run=1&output=output"))
        self.assertEqual(status, 200)
        want = colour_demo_reference(pixels)
        for got, w in zip(struct.unpack("<3f", body), want):
            self.assertAlmostEqual(got, w, places=5)
        status, headers, body = self.curl("-H", "Content-Type: application/vnd.kestrune.tensor", "-H",
                                          "Accept: text/plain", "--data-binary", "@" + data,
                                          self.url("/v1/infer?run=1"))
        self.assertEqual((status, body), (200, ["red", "green", "blue"][want.index(max(want))].encode()))

    def test_4_impossible_layer_shape_upload(self):
        # The demonstration model with one byte of its conv2d's rows changed:
        # [1, 6, 6, 3] becomes [1, 16777222, 6, 3], which an 8x8 input cannot
        # give. The upload is refused at once, before any tensor is made.
        with open(os.path.join(self.tmp, "demo.kfm"), "rb") as f:
            model = bytearray(f.read())
        at = model.find(struct.pack("<4i", 1, 6, 6, 3))
        self.assertGreater(at, 0)
        self.assertEqual(model.find(struct.pack("<4i", 1, 6, 6, 3), at + 1), -1)
        model[at + 7] = 0x01
        path = os.path.join(self.tmp, "impossible.kfm")
        with open(path, "wb") as f:
            f.write(model)
        started = time.monotonic()
        status, _, body = self.curl("-X", "PUT", "-F", "block_content=@" + path, self.url("/v1/model"))
        self.assertEqual((status, json.loads(body)), (200, {"error": "model load error"}))
        self.assertLess(time.monotonic() - started, 5.0)
        self.assertIn("[ERROR] impossible shape for layer conv [conv2d]", self.server.stderr())

    def test_9_shutdown(self):
        status, _, _ = self.curl(self.url("/shutdown"))
        self.assertEqual(status, 200)
        self.assertEqual(self.proc.wait(timeout=10), 0)


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


class ServedModel(unittest.TestCase):
    """brindlecast serving one of the rt_models files (MODEL, named NAME)."""
    MODEL = None
    NAME = None

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="rt-%s-" % cls.NAME)
        subprocess.run([MODELS, cls.tmp], check=True, timeout=60)
        cls.server = brindlecast_process.Server(
            PROGRAM, cls.tmp, ["-e", "rt", "-m", os.path.join(cls.tmp, cls.MODEL)],
            prefix="rt-%s-server-" % cls.NAME, env=environment(), start_timeout=20)

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def request(self, method, target, body=None, headers=None, timeout=5):
        """(status, Content-Type, body) of one request on a fresh connection."""
        c = self.server.connection(timeout=timeout)
        try:
            c.request(method, target, body=body, headers=headers or {})
            r = c.getresponse()
            return r.status, r.getheader("Content-Type"), r.read()
        finally:
            c.close()

    def assert_serves_next_client(self, model):
        status, _, body = self.request("GET", "/v1/model", timeout=5)
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body)["model_name"], model)


class RtCostlyRequests(ServedModel):
    """Requests that ask for much from a few query words: the server answers
    or refuses them within seconds, then serves the next client, and keeps
    no outsized buffer afterwards. wide.kfm has a 4 MiB output."""
    MODEL, NAME = "wide.kfm", "costly"

    def test_run_count_above_the_bound(self):
        for target in ("/v1/infer?run=2147483647", "/v1/infer?run=101&output=output"):
            status, kind, body = self.request("POST", target, timeout=5)
            self.assertEqual((status, kind, body), (400, "text/plain", b"Too Many Runs Requested (at most 100)"))
            self.assert_serves_next_client("wide")
        # The bound itself is served, and a negative count runs nothing.
        for target in ("/v1/infer?run=100", "/v1/infer?run=-2147483647"):
            status, _, body = self.request("POST", target, timeout=30)
            self.assertEqual(status, 200, body)
        self.assert_serves_next_client("wide")

    def test_outsized_json_reply(self):
        output = "&output=output"
        status, _, body = self.request("POST", "/v1/infer?run=1" + output)
        self.assertEqual(status, 200)
        self.assertEqual(len(json.loads(body)["outputs"][0]["data"]), ((4 << 20) + 2) // 3 * 4)
        before = vm_rss_kib(self.server.proc.pid)
        # Sixteen names of the 4 MiB output would be 89 MB of reply.
        status, kind, body = self.request("POST", "/v1/infer?run=1" + output * 16)
        self.assertEqual((status, kind, body), (500, "text/plain", b"JSON Response Too Large"))
        self.assert_serves_next_client("wide")
        after = vm_rss_kib(self.server.proc.pid)
        self.assertLess(after, before + 16 * 1024, "RSS %d KiB before, %d KiB after" % (before, after))
        # Two names (11 MB) are served, and their buffer is given back.
        status, _, body = self.request("POST", "/v1/infer?run=1" + output * 2)
        self.assertEqual(status, 200)
        self.assertEqual(len(json.loads(body)["outputs"]), 2)
        after = vm_rss_kib(self.server.proc.pid)
        self.assertLess(after, before + 16 * 1024, "RSS %d KiB before, %d KiB after" % (before, after))


def pic_header(w, h):
    return (b"\x53\x80\xf6\x34\x40\0\0\0" + bytes(80) + b"PICT" + struct.pack(">HH", w, h) +
            b"\x3f\x80\0\0\0\3\0\0")


class RtHostilePictures(ServedModel):
    """Pictures and image inputs that crashed or stalled the server: each is
    refused within seconds, and the next client is served."""
    MODEL, NAME = "demo.kfm", "pictures"

    def upload(self, name):
        with open(os.path.join(self.tmp, name), "rb") as f:
            model = f.read()
        boundary = "KfmUpload"
        body = (("--%s\r\nContent-Disposition: form-data; name=\"block_content\"; filename=\"%s\"\r\n"
                 "Content-Type: application/octet-stream\r\n\r\n" % (boundary, name)).encode() + model +
                ("\r\n--%s--\r\n" % boundary).encode())
        status, _, reply = self.request("PUT", "/v1/model", body,
                                        {"Content-Type": "multipart/form-data; boundary=" + boundary}, timeout=10)
        return status, reply

    def test_1_pictures(self):
        hdr = b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 8 +X 8\n"
        cases = [
            ("a PIC of 112 bytes whose pixels are cut short", "image/x-softimage-pic",
             pic_header(8, 8) + b"\0\x08\0\xe0" + b"\x40" * 4),
            ("an HDR cut inside its first scanline", "image/vnd.radiance", hdr + b"\x02\x02\x00\x08"),
            ("a P6 for 8x8 followed by 3 bytes", "image/x-portable-pixmap", b"P6\n8 8\n255\n\x10\x20\x30"),
        ]
        for name, kind, picture in cases:
            with self.subTest(name):
                started = time.monotonic()
                status, _, body = self.request("POST", "/v1/infer?run=1", picture,
                                            {"Content-Type": kind, "Accept": "text/plain"})
                self.assertEqual((status, body), (415, b"Invalid or Unsupported Image Format"))
                self.assertLess(time.monotonic() - started, 5)
                self.assert_serves_next_client("colour-demo")

    def test_2_image_inputs_past_the_picture_limit(self):
        status, body = self.upload("tall.kfm")
        self.assertEqual((status, json.loads(body)), (200, {"reply": "success"}))
        with open(os.path.join(self.tmp, "red.ppm"), "rb") as f:
            red = f.read()
        status, _, body = self.request("POST", "/v1/infer?run=1", red,
                                    {"Content-Type": "image/x-portable-pixmap", "Accept": "application/json"})
        self.assertEqual((status, body), (415, b"Invalid or Unsupported Image Format"))
        self.assert_serves_next_client("tall")
        # 256 MiB of input is more than the memory pool holds.
        started = time.monotonic()
        status, body = self.upload("huge.kfm")
        self.assertNotEqual(json.loads(body), {"reply": "success"})
        self.assertLess(time.monotonic() - started, 5)
        status, _, _ = self.request("GET", "/")
        self.assertEqual(status, 200)


def softmax(values):
    top = max(values)
    exps = [math.exp(v - top) for v in values]
    return [e / sum(exps) for e in exps]


def colour_demo_reference(pixels):
    """The demo model written out by hand: 3x3 valid convolution (own colour
    weighed 2, the others -1, over 9 * 255) with bias -0.05 and relu, 2x2 max
    pool, 0.5 * the sum of each channel over the pooled grid plus the biases
    0.1, 0, -0.1, softmax."""
    px = lambda y, x: pixels[y * 8 + x]
    conv = {}
    for y in range(6):
        for x in range(6):
            for co in range(3):
                acc = -0.05
                for i in range(3):
                    for j in range(3):
                        for ci in range(3):
                            acc += px(y + i, x + j)[ci] * (2.0 if ci == co else -1.0) / (9.0 * 255.0)
                conv[y, x, co] = max(0.0, acc)
    dense = [0.1, 0.0, -0.1]
    for y in range(3):
        for x in range(3):
            for c in range(3):
                dense[c] += 0.5 * max(conv[2 * y + i, 2 * x + j, c] for i in range(2) for j in range(2))
    return softmax(dense)


class RtBenchmark(unittest.TestCase):
    def test_benchmark_with_table_and_csv(self):
        tmp = tempfile.mkdtemp(prefix="rt-bench-")
        try:
            subprocess.run([MODELS, tmp], check=True, timeout=60)
            csv = os.path.join(tmp, "out.csv")
            run = subprocess.run([PROGRAM, "-e", "rt", "-m", os.path.join(tmp, "softmax.kfm"), "-b", "3", "-V", "-I",
                                  "-X", csv], cwd=tmp, env=environment(), stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(run.returncode, 0, run.stderr)
            out = run.stdout.decode()
            self.assertIn("Idx | Time (us) | IO Time  | Op Type |", out)
            self.assertIn("~" * 101 + "\n", out)
            self.assertRegex(out, r"Average model run time: \d+\.\d{4} ms \(layer sum: \d+\.\d{4} ms\)\n")
            with open(csv) as f:
                lines = f.read().splitlines()
            self.assertEqual(lines[0], "index, name, type, time, io_time")
            self.assertEqual([l.split(", ")[1] for l in lines[1:]], ["input", "output"])
            # -L steps one layer.
            run = subprocess.run([PROGRAM, "-e", "rt", "-m", os.path.join(tmp, "softmax.kfm"), "-b", "2", "-L", "1"],
                                 cwd=tmp, env=environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 timeout=60)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertRegex(run.stdout.decode(), r"Average model run time: \d+\.\d{4} ms \(layer sum: 0\.0000 ms\)")
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
