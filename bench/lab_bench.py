"""The serial lab beside the virtual link a user would otherwise pick: a
pyserial 64 KB round trip through a loopback, and a 1 MB ZMODEM transfer
between two ports, each through the simulator's bridged COM ports and through
a socat pseudo-terminal pair in the same run. Prints one line per figure
("lab: ...") and writes them as JSON to the path given (for bench/summary.py).

Usage: lab_bench.py SIMULATOR PRELOAD OUT.json"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "lab"))
os.environ["LAB_SIMULATOR"], os.environ["LAB_PRELOAD"] = sys.argv[1], sys.argv[2]
import labkit  # noqa: E402  (after the environment it reads)

ROUND_TRIP = 64 * 1024
ZMODEM = 1024 * 1024


class SocatPair:
    """Two linked pseudo-terminals, as `socat pty pty` makes them."""

    def __init__(self, folder):
        self.a, self.b = os.path.join(folder, "ptyA"), os.path.join(folder, "ptyB")
        self.process = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + self.a, "pty,raw,echo=0,link=" + self.b],
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not (os.path.exists(self.a) and os.path.exists(self.b)):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("socat did not make its pair")
            time.sleep(0.02)

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def echo_forever(path, stop):
    """The loopback plug on a socat pair's far side: what comes in goes back."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    import select
    import termios
    import tty
    tty.setraw(fd)
    termios.tcflush(fd, termios.TCIOFLUSH)
    while not stop.is_set():
        if select.select([fd], [], [], 0.1)[0]:
            data = os.read(fd, 65536)
            while data:
                data = data[os.write(fd, data):]
    os.close(fd)


def round_trip(port, env_note):
    """64 KB written and read back through a loopback, writer and reader at once; seconds."""
    import serial
    data = os.urandom(ROUND_TRIP)
    with serial.Serial(port, 115200, rtscts=True, timeout=120) as s:
        s.reset_input_buffer()
        back, took = labkit.round_trip(s, data)
    if back != data:
        raise RuntimeError("%s: %d of %d bytes came back intact" % (env_note, len(back), len(data)))
    return took


def zmodem(source, target, folder, env_source=None, env_target=None):
    """1 MB from `source` to `target` with sz and rz; seconds."""
    os.makedirs(os.path.join(folder, "in"))
    path = os.path.join(folder, "data.bin")
    with open(path, "wb") as f:
        f.write(os.urandom(ZMODEM))
    for port in (source, target):
        subprocess.run(["stty", "-F", port, "115200", "raw", "-echo"], check=True, timeout=30)
    start = time.monotonic()
    with open(target, "r+b", buffering=0) as t, open(source, "r+b", buffering=0) as s:
        receiver = subprocess.Popen(["rz", "-b", "-y", "-q"], cwd=os.path.join(folder, "in"), stdin=t, stdout=t,
                                    stderr=subprocess.DEVNULL, env=env_target)
        sender = subprocess.Popen(["sz", "-b", "-q", path], stdin=s, stdout=s, stderr=subprocess.DEVNULL,
                                  env=env_source)
        sent, received = sender.wait(timeout=600), receiver.wait(timeout=60)
    took = time.monotonic() - start
    copy = os.path.join(folder, "in", "data.bin")
    if sent or received or not os.path.exists(copy) or open(copy, "rb").read() != open(path, "rb").read():
        raise RuntimeError("ZMODEM through %s: sz %d, rz %d, copy differs or is missing" % (source, sent, received))
    return took


def through_socat(folder):
    pair = SocatPair(folder)
    stop = threading.Event()
    echo = threading.Thread(target=echo_forever, args=(pair.b, stop))
    echo.start()
    try:
        trip = round_trip(pair.a, "socat")
    finally:
        stop.set()
        echo.join()
    transfer = zmodem(pair.a, pair.b, os.path.join(folder, "zmodem"))
    pair.close()
    return trip, transfer


def through_lab():
    with labkit.Lab("bench-loopback", "--unpaced") as lab:
        trip = round_trip(lab.link, "the lab")
    with labkit.Lab("bench-nullmodem", "--far", "nullmodem", "--unpaced") as lab:
        transfer = zmodem(lab.link, lab.far, os.path.join(lab.dir, "zmodem"), lab.env(lab.link), lab.env(lab.far))
    return trip, transfer


def main():
    folder = tempfile.mkdtemp(prefix="lab-bench-%d-" % os.getpid())
    try:
        socat_trip, socat_zmodem = through_socat(folder)
        lab_trip, lab_zmodem = through_lab()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    figures = {
        "round_trip_64k_s": {"lab": lab_trip, "socat": socat_trip},
        "zmodem_1m_s": {"lab": lab_zmodem, "socat": socat_zmodem},
    }
    print("lab: pyserial 64 KB round trip: lab %.2f s, socat %.2f s (lab/socat %.1f)"
          % (lab_trip, socat_trip, lab_trip / socat_trip))
    print("lab: ZMODEM 1 MB: lab %.2f s (%.0f kB/s), socat %.2f s (%.0f kB/s) (lab/socat %.1f)"
          % (lab_zmodem, ZMODEM / lab_zmodem / 1000, socat_zmodem, ZMODEM / socat_zmodem / 1000,
             lab_zmodem / socat_zmodem))
    with open(sys.argv[3], "w") as f:
        json.dump(figures, f, indent=1)


if __name__ == "__main__":
    main()
