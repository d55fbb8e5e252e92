"""One brindlecast process on a free 127.0.0.1 port for the python end-to-end
tests, every wait bounded; stopped through /shutdown, or killed by its PID."""
import http.client
import os
import shutil
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """program: the brindlecast binary; plugin_dir: its working directory
    (where it looks for plug-ins); extra: more arguments, "{tmp}" standing for
    the process's own temporary folder."""

    def __init__(self, program, plugin_dir, extra=(), prefix="brindlecast-", env=None,
                 start_timeout=10):
        self.port = free_port()
        self.tmp = tempfile.mkdtemp(prefix=prefix)
        self.err_path = os.path.join(self.tmp, "stderr")
        self.err = open(self.err_path, "wb")
        args = [program, "-H", str(self.port), "-l"]
        args += [a.replace("{tmp}", self.tmp) for a in extra]
        self.proc = subprocess.Popen(args, cwd=plugin_dir, stdout=subprocess.DEVNULL, stderr=self.err,
                                     env=env)
        deadline = time.time() + start_timeout
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline or self.proc.poll() is not None:
                    self.stop()
                    raise RuntimeError("brindlecast did not start: " + self.final_stderr)
                time.sleep(0.02)
        # the probe connection is served (and ended) before anything else
        time.sleep(0.05)

    def connection(self, timeout=10):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode(errors="replace")

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        """Ends the process; its exit status (the final stderr is kept in
        final_stderr, the temporary folder removed)."""
        if self.proc.poll() is None:
            try:
                c = self.connection(timeout=3)
                c.request("GET", "/shutdown")
                c.getresponse().read()
                c.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        self.err.close()
        self.final_stderr = self.stderr()
        shutil.rmtree(self.tmp, ignore_errors=True)
        return self.proc.returncode

    def kill(self):
        """Ends the process by its PID at once (a test that failed midway)."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        return self.stop()
