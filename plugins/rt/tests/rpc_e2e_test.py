#!/usr/bin/env python3
"""brindlecast with the runtime plug-in, driven over its UNIX datagram socket
by rpc_client and over HTTP on 127.0.0.1; every wait is bounded and every
server is stopped through /shutdown or by its PID. Also the demo of the RPC.
Usage: rpc_e2e_test.py <brindlecast> <rpc_client> <rpc_models> <uop folder> <plug-in folder>"""
import http.client
import math
import os
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

PROGRAM, CLIENT, MODELS, UOP_DIR, PLUGIN_DIR = sys.argv[1:6]
# The plug-in folder on the loader path too: a sanitizer runtime that wraps
# dlopen hides the program's own run path.
ENV = dict(os.environ)
ENV["LD_LIBRARY_PATH"] = PLUGIN_DIR + (":" + ENV["LD_LIBRARY_PATH"] if ENV.get("LD_LIBRARY_PATH") else "")
ENV["OMP_NUM_THREADS"] = "2"
ENV["ASAN_OPTIONS"] = (ENV.get("ASAN_OPTIONS", "") + ":detect_leaks=1").lstrip(":")


class Server(brindlecast_process.Server):
    """The runtime plug-in with its datagram socket in the test's folder."""

    def __init__(self, tmp, extra):
        self.sock = os.path.join(tmp, "rt.sock")
        super().__init__(PROGRAM, None, ["-e", "rt", "-U", self.sock] + list(extra),
                         prefix="rt-rpc-", env=ENV)

    def client(self, *args):
        r = subprocess.run([CLIENT, "-s", self.sock] + list(args), capture_output=True, timeout=10)
        return r.returncode, r.stdout.decode()


class RpcEndToEnd(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="rt-rpc-e2e-")
        subprocess.run([MODELS, self.tmp], check=True, timeout=30)
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_datagrams(self):
        self.server = s = Server(self.tmp, ["-m", os.path.join(self.tmp, "softmax.kfm")])
        code, out = s.client("-c", "7", "-f", "0x0071", "-F", "1,3,2,0.5")
        # The model's softmax of the posted values, in double precision.
        values = [1.0, 3.0, 2.0, 0.5]
        total = sum(math.exp(v) for v in values)
        probs = [math.exp(v) / total for v in values]
        self.assertEqual(code, 0)
        lines = out.splitlines()
        self.assertTrue(lines[0].startswith("flags=0x70 dims=0 shape=0,0,0,0 run_ns="), out)
        self.assertGreater(int(lines[0].split("run_ns=")[1]), 0)
        self.assertEqual(lines[1], "1")
        self.assertAlmostEqual(float(lines[2]), probs[1], places=5)
        self.assertEqual(lines[3], "b")

        code, out = s.client("-f", "0x0080")
        lines = out.splitlines()
        self.assertEqual(lines[0], "flags=0x80 dims=4 shape=1,4,1,1 run_ns=0")
        got = [float(v) for v in lines[1].split(",")]
        self.assertEqual(len(got), 4)
        for g, want in zip(got, probs):
            self.assertAlmostEqual(g, want, places=5)

        for command, text in [("1", "failed to load memory : not implemented"),
                              ("2", "failed to unload memory: not implemented"),
                              ("3", "failed to load model : not implemented"),
                              ("4", "failed to unload model: not implemented")]:
            code, out = s.client("-c", command)
            self.assertEqual(out, "flags=0x3 dims=0 shape=0,0,0,0 run_ns=0\nerror: %s\n" % text)

        code, out = s.client("-r", "10")
        self.assertEqual(out.splitlines()[1], "error: insufficient memory to receive unix rpc message (-14 bytes)")
        code, out = s.client("-r", "0")
        self.assertEqual(out.splitlines()[1], "error: insufficient memory to receive unix rpc message (-24 bytes)")
        start = time.time()
        code, out = s.client("-f", "0x0010")
        self.assertEqual(code, 0)
        self.assertEqual(out.splitlines()[1], "1")
        self.assertLess(time.time() - start, 2.0)

        # The HTTP side sees what the RPC left.
        c = http.client.HTTPConnection("127.0.0.1", s.port, timeout=5)
        c.request("GET", "/v1")
        c.getresponse().read()
        c.close()
        self.assertEqual(s.stop(), 0, s.final_stderr)
        self.server = None

    def test_user_ops(self):
        list = "%s/libuop_a.so,%s/libuop_b.so:scale_handler" % (UOP_DIR, UOP_DIR)
        self.server = s = Server(self.tmp, ["-u", list, "-m", os.path.join(self.tmp, "uop_double.kfm")])
        body = struct.pack("<4f", 1, -2, 3, 0.5)
        c = http.client.HTTPConnection("127.0.0.1", s.port, timeout=5)
        c.request("POST", "/v1?run=1&output=output", body=body,
                  headers={"Content-Type": "application/vnd.kestrune.tensor",
                           "Accept": "application/vnd.kestrune.tensor"})
        r = c.getresponse()
        data = r.read()
        c.close()
        self.assertEqual(r.status, 200, data)
        self.assertEqual(struct.unpack("<4f", data), (2.0, -4.0, 6.0, 1.0))
        self.assertEqual(s.stop(), 0, s.final_stderr)
        self.server = None

    def test_badly_formed_user_ops(self):
        r = subprocess.run([PROGRAM, "-e", "rt", "-l", "-H", str(brindlecast_process.free_port()), "-u", ":x"],
                           capture_output=True, timeout=10, env=ENV)
        self.assertEqual(r.returncode, 1)
        err = r.stderr.decode()
        self.assertIn("badly formed user_op string: :x", err)
        self.assertIn("User ops failing or unsupported", err)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
