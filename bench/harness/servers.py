"""Throwaway servers for the peers that are servers: Redis and PostgreSQL, each on 127.0.0.1 on
a free port, with its data in a temporary directory of its own.

The process that starts a server (the benchmark's parent) also stops it, in a finally block;
the serve process may stop and start it again to time a reopen, knowing it by address() (its
kind, directory and port).
PostgreSQL refuses to run as root, so as root its commands run as the postgres user
(created by Debian's package) or, without that user, as nobody.
"""

import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def _wait_gone(pid, timeout_s):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if not _pid_alive(pid):
            return True
        time.sleep(0.05)
    return not _pid_alive(pid)


def rss_bytes(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def pss_bytes(pid):
    """Proportional set size: shared pages divided among the processes that map them."""
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1]) * 1024
    return 0


def children_of(pid):
    kids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    if int(f.read().split(") ")[-1].split()[1]) == pid:
                        kids.append(int(entry))
            except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
                pass
    return kids


class RedisServer:
    """redis-server as the current user, append-only file on (fsync every second)."""

    def __init__(self, root, binary, port=None):
        self.root = root
        self.binary = binary
        self.port = port or free_port()
        self.pidfile = os.path.join(root, "redis.pid")

    @classmethod
    def create(cls, binary):
        return cls(tempfile.mkdtemp(prefix="vesko-bench-redis-"), binary)

    def address(self):
        return {"kind": "redis", "root": self.root, "binary": self.binary, "port": self.port}

    def client(self):
        import redis
        return redis.Redis(host="127.0.0.1", port=self.port, decode_responses=True)

    def start(self, timeout_s=600):
        conf = os.path.join(self.root, "redis.conf")
        with open(conf, "w") as f:
            f.write(f"bind 127.0.0.1\nport {self.port}\nprotected-mode yes\n"
                    f"dir {self.root}\ndaemonize yes\npidfile {self.pidfile}\n"
                    f"logfile {os.path.join(self.root, 'redis.log')}\n"
                    "appendonly yes\nappendfsync everysec\nsave \"\"\n")
        subprocess.run([self.binary, conf], check=True, capture_output=True)
        deadline = time.monotonic() + timeout_s
        client = self.client()
        while True:
            try:
                if client.ping() and client.info("persistence").get("loading", 0) == 0:
                    return
            except Exception:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError(f"redis-server on port {self.port} did not become ready")
            time.sleep(0.01)

    def pid(self):
        try:
            with open(self.pidfile) as f:
                return int(f.read().strip())
        except (FileNotFoundError, ValueError):
            return None

    def stop(self):
        pid = self.pid()
        if pid is None or not _pid_alive(pid):
            return
        try:
            self.client().shutdown()
        except Exception:
            pass
        if not _wait_gone(pid, 60):
            os.kill(pid, signal.SIGKILL)
            _wait_gone(pid, 10)

    def memory_bytes(self):
        pid = self.pid()
        return rss_bytes(pid) if pid else None

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def _pg_user():
    if os.geteuid() != 0:
        return None
    for name in ("postgres", "nobody"):
        try:
            pwd.getpwnam(name)
            return name
        except KeyError:
            pass
    return None


class PostgresCluster:
    """A PostgreSQL cluster made by initdb in a temporary directory, trust auth on loopback."""

    def __init__(self, root, bindir, port=None, run_as=None):
        self.root = root
        self.bindir = bindir
        self.port = port or free_port()
        self.run_as = run_as
        self.data = os.path.join(root, "data")

    @classmethod
    def create(cls, bindir):
        root = tempfile.mkdtemp(prefix="vesko-bench-pg-")
        run_as = _pg_user()
        os.chmod(root, 0o755)
        if run_as:
            entry = pwd.getpwnam(run_as)
            os.chown(root, entry.pw_uid, entry.pw_gid)
        cluster = cls(root, bindir, run_as=run_as)
        cluster._run(["initdb", "-D", cluster.data, "-U", "bench", "-A", "trust", "-E", "UTF8",
                      "--no-locale", "--no-sync"])
        return cluster

    def address(self):
        return {"kind": "postgres", "root": self.root, "bindir": self.bindir, "port": self.port,
                "run_as": self.run_as}

    def _run(self, cmd, check=True):
        cmd = [os.path.join(self.bindir, cmd[0])] + cmd[1:]
        if self.run_as:
            cmd = ["runuser", "-u", self.run_as, "--"] + cmd
        result = subprocess.run(cmd, capture_output=True, text=True, cwd=self.root)
        if check and result.returncode != 0:
            raise RuntimeError(f"{' '.join(cmd)} failed: {result.stderr.strip()[-500:]}")
        return result

    def start(self):
        options = (f"-p {self.port} -c listen_addresses=127.0.0.1 "
                   f"-c unix_socket_directories={self.root}")
        self._run(["pg_ctl", "-D", self.data, "-l", os.path.join(self.root, "server.log"),
                   "-o", options, "-w", "-t", "600", "start"])

    def connect(self, **kwargs):
        import psycopg
        return psycopg.connect(host="127.0.0.1", port=self.port, user="bench",
                               dbname="postgres", **kwargs)

    def pid(self):
        try:
            with open(os.path.join(self.data, "postmaster.pid")) as f:
                return int(f.readline().strip())
        except (FileNotFoundError, ValueError, PermissionError):
            return None

    def stop(self):
        pid = self.pid()
        if pid is None or not _pid_alive(pid):
            return
        if self._run(["pg_ctl", "-D", self.data, "-m", "fast", "-w", "-t", "120", "stop"],
                     check=False).returncode != 0:
            self._run(["pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop"], check=False)
        if not _wait_gone(pid, 30):
            os.kill(pid, signal.SIGKILL)

    def memory_bytes(self):
        pid = self.pid()
        if pid is None:
            return None
        return sum(pss_bytes(p) for p in [pid] + children_of(pid) if _pid_alive(p))

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def from_address(address):
    if address is None:
        return None
    if address["kind"] == "redis":
        return RedisServer(address["root"], address["binary"], address["port"])
    return PostgresCluster(address["root"], address["bindir"], address["port"], address["run_as"])
