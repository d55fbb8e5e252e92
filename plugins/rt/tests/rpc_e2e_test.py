#!/usr/bin/env python3
"""brindlecast with the runtime plug-in, driven over its UNIX datagram socket
by rpc_client and over HTTP on 127.0.0.1; every wait is bounded and every
server is stopped through /shutdown or by its PID. Also the demo of the RPC.
Usage: rpc_e2e_test.py <brindlecast> <rpc_client> <rpc_models> <uop folder> <plug-in folder>"""
import http.client
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM, CLIENT, MODELS, UOP_DIR, PLUGIN_DIR = sys.argv[1:6]
# The plug-in folder on the loader path too: a sanitizer runtime that wraps
# dlopen hides the program's own run path.
ENV = dict(os.environ)
ENV["LD_LIBRARY_PATH"] = PLUGIN_DIR + (":" + ENV["LD_LIBRARY_PATH"] if ENV.get("LD_LIBRARY_PATH") else "")
ENV["OMP_NUM_THREADS"] = "2"
ENV["ASAN_OPTIONS"] = (ENV.get("ASAN_OPTIONS", "") + ":detect_leaks=1").lstrip(":")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, tmp, extra):
        self.port = free_port()
        self.sock = os.path.join(tmp, "rt.sock")
        self.err_path = os.path.join(tmp, "stderr.%d" % self.port)
        self.err = open(self.err_path, "wb")
        args = [PROGRAM, "-e", "rt", "-l", "-H", str(self.port), "-U", self.sock] + list(extra)
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=self.err, env=ENV)
        deadline = time.time() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline or self.proc.poll() is not None:
                    self.kill()
                    raise RuntimeError("brindlecast did not start: " + self.stderr())
                time.sleep(0.02)

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode(errors="replace")

    def client(self, *args):
        r = subprocess.run([CLIENT, "-s", self.sock] + list(args), capture_output=True, timeout=10)
        return r.returncode, r.stdout.decode()

    def shutdown(self):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        c.request("GET", "/shutdown")
        c.getresponse().read()
        c.close()
        code = self.proc.wait(timeout=10)
        self.err.close()
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self.err.close()


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
        self.server = s = Server(self.tmp, ["-m", os.path.join(self.tmp, "reshape.kfm")])
        code, out = s.client("-c", "7", "-f", "0x0071", "-F", "1,3,2,0.5")
        self.assertEqual(code, 0)
        lines = out.splitlines()
        self.assertTrue(lines[0].startswith("flags=0x70 dims=0 shape=0,0,0,0 run_ns="), out)
        self.assertGreater(int(lines[0].split("run_ns=")[1]), 0)
        self.assertEqual(lines[1], "1")
        self.assertAlmostEqual(float(lines[2]), 3.0, places=5)
        self.assertEqual(lines[3], "b")

        code, out = s.client("-f", "0x0080")
        self.assertEqual(out.splitlines(), ["flags=0x80 dims=4 shape=1,4,1,1 run_ns=0", "1,3,2,0.5"])

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
        self.assertEqual(s.shutdown(), 0, s.stderr())
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
        self.assertEqual(s.shutdown(), 0, s.stderr())
        self.server = None

    def test_badly_formed_user_ops(self):
        r = subprocess.run([PROGRAM, "-e", "rt", "-l", "-H", str(free_port()), "-u", ":x"],
                           capture_output=True, timeout=10, env=ENV)
        self.assertEqual(r.returncode, 1)
        err = r.stderr.decode()
        self.assertIn("badly formed user_op string: :x", err)
        self.assertIn("User ops failing or unsupported", err)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
