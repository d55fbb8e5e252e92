#!/usr/bin/env python3
"""brindlecast serving the runtime plug-in, driven by curl on 127.0.0.1, every
wait bounded; also the stand-alone benchmark. The models come from the
rt_models program (the test KFM writer); expected values are computed here.
Usage: rt_e2e_test.py <brindlecast> <rt_models> <folder of libbrindlecast-rt.so>"""
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM, MODELS, PLUGIN_DIR = sys.argv[1:4]
CURL = ["curl", "-sS", "--max-time", "10", "-D", "-", "-H", "Expect:"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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
        cls.port = free_port()
        cls.err = open(os.path.join(cls.tmp, "stderr"), "wb")
        args = [PROGRAM, "-e", "rt", "-l", "-H", str(cls.port), "-U", os.path.join(cls.tmp, "rt.sock"),
                "-m", os.path.join(cls.tmp, "softmax.kfm")]
        cls.proc = subprocess.Popen(args, cwd=cls.tmp, env=environment(), stdout=subprocess.DEVNULL, stderr=cls.err)
        deadline = time.time() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline or cls.proc.poll() is not None:
                    cls.stop_by_pid()
                    raise RuntimeError("brindlecast did not start")
                time.sleep(0.05)

    @classmethod
    def stop_by_pid(cls):
        if cls.proc.poll() is None:
            cls.proc.kill()
            cls.proc.wait(timeout=10)

    @classmethod
    def tearDownClass(cls):
        cls.stop_by_pid()
        cls.err.close()
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
        self.assertEqual(dict(headers)["X-Softmax"], "3.500000")
        status, headers, body = self.curl("-H", "Content-Type: application/vnd.kestrune.tensor", "-H",
                                          "Accept: application/vnd.kestrune.tensor", "--data-binary", "@" + data,
                                          self.url("/v1/infer?run=1&output=output"))
        self.assertEqual(status, 200)
        self.assertEqual(struct.unpack("<4f", body), tuple(values))
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

    def test_9_shutdown(self):
        status, _, _ = self.curl(self.url("/shutdown"))
        self.assertEqual(status, 200)
        self.assertEqual(self.proc.wait(timeout=10), 0)


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
