"""The serial lab's test kit: starts the simulator's bridge (--pty) in a temp
directory of the test's own, talks to its socket as the preload library does,
reads USB captures, and stops it with SIGTERM, requiring a clean report."""
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SIMULATOR = os.environ.get("LAB_SIMULATOR", "")
PRELOAD = os.environ.get("LAB_PRELOAD", "")


class Failure(Exception):
    pass


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        raise Failure(what)


class Lab:
    """One simulator with its ports on pseudo-terminals; a context manager."""

    def __init__(self, name, *args, pcap=False):
        self.dir = tempfile.mkdtemp(prefix="lab-%s-%d-" % (name, os.getpid()))
        self.link = os.path.join(self.dir, "ttyCOM7")
        self.far = self.link + "-far"
        self.pcap = os.path.join(self.dir, "bus.pcap") if pcap else None
        command = [SIMULATOR, "--pty", "--link", self.link] + list(args)
        if self.pcap:
            command += ["--pcap", self.pcap]
        self.errors = open(os.path.join(self.dir, "stderr"), "w+")
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.errors, text=True)
        self._wait_ready()

    def _wait_ready(self, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if "ready:" in self.log():
                return
            if self.process.poll() is not None:
                raise Failure("the bridge ended at start (%d): %s" % (self.process.returncode, self.log()))
            time.sleep(0.05)
        raise Failure("the bridge was not ready in %d s: %s" % (seconds, self.log()))

    def log(self):
        self.errors.flush()
        with open(self.errors.name) as f:
            return f.read()

    def env(self, port=None):
        """The environment of a client using the preload library on `port`."""
        env = dict(os.environ)
        env["LD_PRELOAD"] = PRELOAD
        env["SIMTTY_PORT"] = port or self.link
        return env

    def ask(self, request, port=None):
        """One request on the port's socket, as the preload library sends it."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(60)
            s.connect((port or self.link) + ".sock")
            s.sendall((request + "\n").encode())
            answer = b""
            while not answer.endswith(b"\n"):
                more = s.recv(256)
                if not more:
                    break
                answer += more
        return answer.decode().strip()

    def stop(self):
        """SIGTERM: the bridge closes, unplugs and must report clean."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            out, _ = self.process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, _ = self.process.communicate()
            raise Failure("the bridge did not end within 60 s of SIGTERM")
        sys.stdout.write(out)
        check(self.process.returncode == 0 and "Lab shut down clean." in out,
              "SIGTERM: port closed, adapter unplugged, no leak, exit %d" % self.process.returncode)
        return out

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        if kind is not None:
            sys.stdout.write("--- bridge stderr ---\n" + self.log())
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            return False
        self.stop()
        if os.environ.get("LAB_KEEP") != "1":  # LAB_KEEP=1 keeps the directory (stderr, capture)
            shutil.rmtree(self.dir, ignore_errors=True)
        return False


def read_exactly(fd, count, seconds=60):
    """`count` bytes from a raw descriptor, or what came before `seconds` of silence."""
    got = bytearray()
    while len(got) < count:
        ready, _, _ = select.select([fd], [], [], seconds)
        if not ready:
            break
        got += os.read(fd, count - len(got))
    return bytes(got)


def round_trip(s, data):
    """Writes `data` on the open serial port `s` while reading as many bytes back
    (a loopback at the far end); what came back and the seconds it took."""
    start = time.monotonic()
    writer = threading.Thread(target=s.write, args=(data,))
    writer.start()
    back = s.read(len(data))
    writer.join()
    return back, time.monotonic() - start


def line_messages(pcap):
    """The adapter's line-settings messages (vendor request 0x0B, first byte 00) in a capture."""
    with open(pcap, "rb") as f:
        data = f.read()
    at, setups, messages = 24, {}, []
    while at + 16 <= len(data):
        length = struct.unpack_from("<I", data, at + 8)[0]
        record = data[at + 16:at + 16 + length]
        at += 16 + length
        header = struct.unpack_from("<H", record, 0)[0]
        irp, info, transfer = struct.unpack_from("<Q", record, 2)[0], record[16], record[22]
        if transfer != 2 or info & 1:
            continue
        stage, payload = record[27], record[header:]
        if stage == 0 and payload[:2] == b"\x40\x0b":
            setups[irp] = True
        elif stage == 1 and irp in setups and payload[:1] == b"\x00":
            messages.append(payload.hex(" "))
    return messages


def run(main):
    """Runs a test's main; exit status 0 when every check held."""
    try:
        main()
    except Failure:
        sys.exit(1)
    print("all checks held")


class Attached(Lab):
    """A client process's view of a running lab: its socket and its stderr log."""

    def __init__(self, link):
        self.link = link
        self.errors = open(sys.argv[3] if len(sys.argv) > 3 else os.devnull)
