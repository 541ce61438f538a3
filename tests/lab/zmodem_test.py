"""ZMODEM over the null-modem pair: sz on one bridged port, rz on the other,
a random file in each direction, identical at the end (cmp), with the time
taken. 'fast': unpaced adapters, 256 KB. 'paced': adapters at 115200 8N1,
64 KB in CI (LAB_FULL=1: 256 KB, about 23 s a direction)."""
import filecmp
import os
import subprocess
import sys
import termios
import time

import labkit
from labkit import check


def stty(port, *settings):
    subprocess.run(["stty", "-F", port] + list(settings), check=True, timeout=30)


def settle(*ports):
    """What a finished session left on the line (a late ZFIN, an 'OO') is dropped
    before the next one, so it is not taken for the next session's start."""
    time.sleep(0.5)
    for port in ports:
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
        termios.tcflush(fd, termios.TCIOFLUSH)
        os.close(fd)


def transfer(lab, source_port, target_port, size, name):
    folder = os.path.join(lab.dir, name)
    os.makedirs(os.path.join(folder, "in"))
    path = os.path.join(folder, "data.bin")
    with open(path, "wb") as f:
        f.write(os.urandom(size))
    start = time.monotonic()
    with open(target_port, "r+b", buffering=0) as target, open(source_port, "r+b", buffering=0) as source:
        # With the preload library, so that their drains before a flush wait for the port.
        receiver = subprocess.Popen(["rz", "-b", "-y", "-q"], cwd=os.path.join(folder, "in"), stdin=target,
                                    stdout=target, stderr=subprocess.DEVNULL, env=lab.env(target_port))
        sender = subprocess.Popen(["sz", "-b", "-q", path], stdin=source, stdout=source, stderr=subprocess.DEVNULL,
                                  env=lab.env(source_port))
        try:
            sent, received = sender.wait(timeout=200), receiver.wait(timeout=60)
        except subprocess.TimeoutExpired:
            sender.kill()
            receiver.kill()
            sent = received = -1
    took = time.monotonic() - start
    copy = os.path.join(folder, "in", "data.bin")
    same = sent == 0 and received == 0 and os.path.exists(copy) and filecmp.cmp(path, copy, shallow=False)
    check(same, "%s: sz exit %d, rz exit %d, %d KB identical (cmp) in %.2f s, %.1f kB/s"
          % (name, sent, received, size // 1024, took, size / took / 1000))


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else "fast"
    full = os.environ.get("LAB_FULL") == "1"
    size = 256 * 1024 if mode == "fast" or full else 64 * 1024
    args = ["--far", "nullmodem"] + (["--unpaced"] if mode == "fast" else [])
    with labkit.Lab("zmodem-" + mode, *args) as lab:
        for port in (lab.link, lab.far):
            stty(port, "115200", "raw", "-echo")
        transfer(lab, lab.link, lab.far, size, "COM7 to COM8 (%s)" % mode)
        settle(lab.link, lab.far)
        transfer(lab, lab.far, lab.link, size, "COM8 to COM7 (%s)" % mode)


if __name__ == "__main__":
    labkit.run(main)
