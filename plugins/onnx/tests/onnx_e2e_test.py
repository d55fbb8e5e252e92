#!/usr/bin/env python3
"""brindlecast serving the ONNX Runtime plug-in, driven by curl on 127.0.0.1,
every wait bounded: the demonstration (a GlobalAveragePool model, labels and a
green picture), the stand-alone benchmark, a model that fails to load, and the
text-direction classifier of the OCR models package.
Usage: onnx_e2e_test.py <brindlecast> <onnx_models> <folder of libbrindlecast-onnx.so> <classifier.onnx>"""
import base64
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

PROGRAM, MODELS, PLUGIN_DIR, CLASSIFIER = sys.argv[1:5]
CURL = ["curl", "-sS", "--max-time", "20", "-D", "-", "-H", "Expect:"]


def environment():
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = PLUGIN_DIR + (":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    return env


def split_reply(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    headers = dict(tuple(l.split(": ", 1)) for l in lines[1:] if ": " in l)
    return int(lines[0].split()[1]), headers, body


class Served(unittest.TestCase):
    """One brindlecast -e onnx -m <model> -H <port> -l for the class."""
    model = None

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="onnx-e2e-")
        subprocess.run([MODELS, cls.tmp], check=True, timeout=60)
        cls.server = brindlecast_process.Server(
            PROGRAM, cls.tmp, ["-e", "onnx", "-m", cls.model_path()], prefix="onnx-e2e-server-",
            env=environment(), start_timeout=30)

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def curl(self, *args):
        out = subprocess.run(CURL + list(args), stdout=subprocess.PIPE, timeout=60, check=True).stdout
        return split_reply(out)

    def post_file(self, query, content_type, path, accept=None):
        args = ["-X", "POST", "-H", "Content-Type: " + content_type, "--data-binary", "@" + path]
        if accept:
            args += ["-H", "Accept: " + accept]
        return self.curl(*args, self.server.url("/" + query))

    def post_labels(self, text):
        path = os.path.join(self.tmp, "labels.txt")
        with open(path, "wb") as f:
            f.write(text)
        status, _, body = self.post_file("", "labels/plain", path)
        self.assertEqual((status, body), (200, b"Success"))


class Demonstration(Served):
    @classmethod
    def model_path(cls):
        return os.path.join(cls.tmp, "gap.onnx")

    def test_green_picture_through_the_channel_means(self):
        self.post_labels(b"red\ngreen\nblue")
        green = os.path.join(self.tmp, "green.png")
        status, headers, body = self.post_file("?imgproc=normalize", "image/png", green)
        self.assertEqual(status, 200, body)
        self.assertEqual(headers["Content-Type"], "application/json")
        reply = json.loads(body)
        (y,) = reply["outputs"]
        self.assertEqual((y["name"], y["datatype"], y["shape"]), ("y", "FLOAT32", [1, 3, 1, 1]))
        values = struct.unpack("<3f", base64.b64decode(y["data"]))
        # 255 x 0.003921569, the normalising factor, in double precision
        for got, want in zip(values, (0.0, 255 * 0.003921569, 0.0)):
            self.assertAlmostEqual(got, want, delta=1e-6)
        status, _, body = self.post_file("?imgproc=normalize", "image/png", green, accept="text/plain")
        self.assertEqual((status, body), (200, b"green"))

    def test_engine_description(self):
        status, _, body = self.curl(self.server.url("/"))
        self.assertEqual(status, 200)
        doc = json.loads(body)
        self.assertEqual((doc["engine"], doc["version"]), ("ONNX Runtime", "1.21.0"))
        self.assertEqual(doc["Execution_Provider"], "CPU")


class Benchmark(unittest.TestCase):
    def test_benchmark_prints_names_and_the_average(self):
        tmp = tempfile.mkdtemp(prefix="onnx-bench-")
        try:
            subprocess.run([MODELS, tmp], check=True, timeout=60)
            run = subprocess.run([PROGRAM, "-e", "onnx", "-m", os.path.join(tmp, "gap.onnx"), "-b", "100", "-V"],
                                 cwd=tmp, env=environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 timeout=120)
            out = run.stdout.decode()
            self.assertEqual(run.returncode, 0, run.stderr.decode())
            self.assertIn("Input name=x \n", out)
            self.assertIn("Number of outputs = 1\nOutput 0 : name=y\n", out)
            self.assertRegex(out, r"\nAverage model run time: [0-9]+\.[0-9]{6} ms\n")
        finally:
            shutil.rmtree(tmp, ignore_errors=True)

    def test_an_absent_execution_provider_ends_the_program(self):
        tmp = tempfile.mkdtemp(prefix="onnx-acl-")
        try:
            subprocess.run([MODELS, tmp], check=True, timeout=60)
            run = subprocess.run([PROGRAM, "-e", "onnx", "-c", "1", "-m", os.path.join(tmp, "gap.onnx"), "-b", "1"],
                                 cwd=tmp, env=environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 timeout=60)
            self.assertEqual(run.returncode, 1)
            self.assertIn("[ERROR] ACL execution provider is not available\n", run.stderr.decode())
        finally:
            shutil.rmtree(tmp, ignore_errors=True)

    def test_a_model_that_does_not_load_ends_the_program(self):
        tmp = tempfile.mkdtemp(prefix="onnx-bad-")
        try:
            junk = os.path.join(tmp, "junk.onnx")
            with open(junk, "wb") as f:
                f.write(b"not an onnx model")
            run = subprocess.run([PROGRAM, "-e", "onnx", "-m", junk, "-b", "1"], cwd=tmp, env=environment(),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(run.returncode, 1)
            self.assertIn("failed to load model " + junk + ": ", run.stderr.decode())
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


@unittest.skipUnless(os.path.exists(CLASSIFIER), "the OCR models package is not fetched (setup.sh)")
class TextDirection(Served):
    """The classifier's input is [-1,3,-1,-1]: the input value is made with
    the dynamic extents 1, so the picture arrives as one pixel per channel."""
    @classmethod
    def model_path(cls):
        return CLASSIFIER

    def test_upright_and_rotated_text(self):
        status, _, body = self.curl(self.server.url("/v1/model"))
        self.assertEqual(status, 200)
        (inp,) = json.loads(body)["inputs"]
        self.assertEqual((inp["name"], inp["shape"]), ("x", [1, 3, 1, 1]))
        self.post_labels(b"0\n180\n")
        answers = {}
        for name in ("upright", "rotated"):
            path = os.path.join(self.tmp, "text_%s.png" % name)
            status, headers, label = self.post_file("?imgproc=signed_normalize", "image/png", path,
                                                    accept="text/plain")
            self.assertEqual(status, 200, label)
            self.assertIn(label, (b"0", b"180"))
            score = float(headers["X-Softmax"])
            self.assertTrue(0.5 <= score <= 1.0, score)
            answers[name] = (label.decode(), score)
        print("text-direction classifier:", answers, file=sys.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
