#!/usr/bin/env python3
"""The Arm NN plug-in served by brindlecast on 127.0.0.1 and driven by curl,
every wait bounded: labels, a red picture's label, its normalised channel
means; then the stand-alone benchmark with a profile, and a bad model.
Usage: armnn_demo_test.py <brindlecast> <armnn_demo_files> <folder of libbrindlecast-armnn.so>"""
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

PROGRAM, DEMO_FILES, PLUGIN_DIR = sys.argv[1:4]
CURL = ["curl", "-sS", "--max-time", "10", "-H", "Expect:"]


def environment():
    """The plug-in's folder on the search path: under the sanitizers the
    program's own run path does not reach its dlopen."""
    env = dict(os.environ)
    env["LD_LIBRARY_PATH"] = PLUGIN_DIR + (":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
    return env


class ArmnnDemo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="armnn-demo-")
        subprocess.run([DEMO_FILES, cls.tmp], check=True, timeout=60)
        cls.pool = os.path.join(cls.tmp, "pool.tflite")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def curl(self, url, *args):
        return subprocess.run(CURL + list(args) + [url], stdout=subprocess.PIPE, timeout=30,
                              check=True).stdout

    def test_served(self):
        server = brindlecast_process.Server(PROGRAM, self.tmp, ["-e", "armnn", "-m", self.pool],
                                            prefix="armnn-demo-server-", env=environment(),
                                            start_timeout=30)
        try:
            url = server.url("/v1/model")
            red = os.path.join(self.tmp, "red.png")
            self.assertEqual(self.curl(url, "-H", "Content-Type: labels/plain",
                                       "--data-binary", "red\ngreen\nblue"), b"Success")
            self.assertEqual(self.curl(url + "?run=1", "-H", "Content-Type: image/png", "-H", "Accept: text/plain",
                                       "--data-binary", "@" + red), b"red")
            reply = json.loads(self.curl(url + "?run=1&imgproc=normalize", "-H", "Content-Type: image/png",
                                         "--data-binary", "@" + red))
            data = base64.b64decode(reply["outputs"][0]["data"])
            means = struct.unpack("<3f", data)
            for got, want in zip(means, (1.0, 0.0, 0.0)):
                self.assertAlmostEqual(got, want, delta=1e-6)
            description = json.loads(self.curl(server.url("/")))
            self.assertEqual((description["engine"], description["version"]), ("ArmNN", "24.0.0"))
        finally:
            code = server.stop()
        self.assertEqual(code, 0, server.final_stderr)

    def test_benchmark_with_profile(self):
        profile = os.path.join(self.tmp, "prof.txt")
        run = subprocess.run([PROGRAM, "-e", "armnn", "-c", "1", "-m", self.pool, "-b", "100", "-X", profile],
                             cwd=self.tmp, env=environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             timeout=120)
        out = run.stdout.decode()
        self.assertEqual(run.returncode, 0, run.stderr.decode())
        self.assertIn("Reference CPU(CpuRef) preference\n", out)
        self.assertRegex(out, r"\n\nInference Time = [0-9.e+-]+ ms\n")
        self.assertGreater(os.path.getsize(profile), 0)

    def test_bad_model(self):
        bad = os.path.join(self.tmp, "bad.tflite")
        run = subprocess.run([PROGRAM, "-e", "armnn", "-m", bad], cwd=self.tmp, env=environment(),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        err = run.stderr.decode()
        self.assertEqual(run.returncode, 1)
        self.assertIn("a standard exception was caught, with message '", err)
        self.assertIn("failed to load model %s: " % bad, err)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
