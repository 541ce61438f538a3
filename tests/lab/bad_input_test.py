"""Bad input to the lab: a client writing as fast as it can while nobody
reads the far end (hardware flow holds: nothing the client's writes took is
lost, the bridge's memory stays bounded), a client closing mid-transfer, and
command lines the simulator must refuse with a message and a non-zero exit.
(A rate the device cannot carry is in pyserial_test.py.)"""
import errno
import os
import subprocess
import time

import labkit
from labkit import check


def resident_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def write_for(fd, data, seconds):
    """Non-blocking writes of `data` for `seconds`; how much the terminal took."""
    taken, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline and taken < len(data):
        try:
            taken += os.write(fd, data[taken:taken + 4096])
        except BlockingIOError:
            time.sleep(0.01)
    return taken


def flood_with_nobody_reading():
    with labkit.Lab("flood", "--far", "nullmodem", "--unpaced") as lab:
        for port in (lab.link, lab.far):
            subprocess.run(["stty", "-F", port, "115200", "raw", "-echo", "crtscts"], check=True, timeout=30)
        writer = os.open(lab.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        data = os.urandom(8 * 1024 * 1024)
        first = write_for(writer, data, 2)
        memory_then = resident_kb(lab.process.pid)
        taken = first + write_for(writer, data[first:], 3)
        memory_now = resident_kb(lab.process.pid)
        check(taken < len(data) and "CTS off" in lab.log(),
              "nobody reads COM8: after %d KB the writes are held (COM8's RTS dropped COM7's CTS)" % (taken // 1024))
        check(memory_now - memory_then < 4096, "the bridge's memory stays bounded: %d KB, then %d KB"
              % (memory_then, memory_now))
        reader = os.open(lab.far, os.O_RDWR | os.O_NOCTTY)
        got = labkit.read_exactly(reader, taken, 10)
        check(got == data[:taken], "a reader on COM8 then gets all %d bytes the writes took, in order (%d)"
              % (taken, len(got)))
        os.close(writer)
        os.close(reader)


def close_mid_transfer():
    with labkit.Lab("close") as lab:
        fd = os.open(lab.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        subprocess.run(["stty", "-F", lab.link, "115200", "raw", "-echo"], check=True, timeout=30)
        taken = write_for(fd, os.urandom(256 * 1024), 0.5)
        os.close(fd)
        time.sleep(1)
        with open(lab.link, "r+b", buffering=0) as again:
            subprocess.run(["stty", "-F", lab.link, "raw", "-echo"], check=True, timeout=30)
            subprocess.run(["stty", "-F", lab.link, "115200"], check=True, timeout=30)
            labkit.read_exactly(again.fileno(), 1 << 20, 1)  # what the first client left behind
            again.write(b"next client")
            back = labkit.read_exactly(again.fileno(), 11, 10)
        check(back == b"next client", "a client closed after writing %d KB; the next one carries data: %r"
              % (taken // 1024, back))


def refused_command_lines():
    cases = [(["--pty", "--far", "bogus"], "--far takes loopback, pty or nullmodem"),
             (["--pty", "--link", "/nonexistent-%d/ttyCOM7" % os.getpid()], "is not a writable directory"),
             (["--far", "pty"], "go with --pty"),
             (["--pty", "--bogus"], "unknown option")]
    for args, message in cases:
        done = subprocess.run([labkit.SIMULATOR] + args, capture_output=True, text=True, timeout=60)
        check(done.returncode != 0 and message in done.stderr,
              "simulator %s: exit %d, %r" % (" ".join(args), done.returncode, done.stderr.strip()[-90:]))


def main():
    refused_command_lines()
    close_mid_transfer()
    flood_with_nobody_reading()


if __name__ == "__main__":
    labkit.run(main)
