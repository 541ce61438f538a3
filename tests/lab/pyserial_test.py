"""pyserial against the bridge with the loopback plug, with the preload
library: rates and formats reaching the adapter (7E1 as its line-settings
message in the bus capture), 256 KB back byte-exact, read timeouts, RTS and
DTR seen on CTS, DSR and DCD through the plug, flush and input reset, and a
rate the device cannot carry refused without losing the settings before."""
import os
import subprocess
import sys
import threading
import time

import labkit
from labkit import check


def wait_for(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


def echo(s, data):
    s.write(data)
    return s.read(len(data))


def rates_and_formats(s, lab):
    import serial
    for baud, bits, parity, stop in [(9600, 8, "N", 1), (19200, 8, "N", 2), (38400, 7, "E", 1),
                                     (115200, 7, "O", 1), (115200, 7, "E", 1)]:
        s.baudrate, s.bytesize, s.parity, s.stopbits = baud, bits, parity, stop
        back = echo(s, b"ping")
        line = lab.ask("LINE")
        check(back == b"ping" and line == "OK %d %d %s %d" % (baud, bits, parity, stop),
              "%d %d%s%d: the adapter runs at %s, 'ping' came back as %r" % (baud, bits, parity, stop, line, back))
    s.bytesize, s.parity = serial.EIGHTBITS, serial.PARITY_NONE


def bulk_round_trip(s):
    s.rtscts = True  # the plug's own receive FIFO holds the transmitter back: nothing may be lost
    s.timeout = 120
    data = os.urandom(256 * 1024)
    back, took = labkit.round_trip(s, data)
    s.rtscts = False
    s.timeout = 10
    check(back == data, "256 KB written and read back byte-exact with RTS/CTS (%.2f s, %.0f kB/s round trip)"
          % (took, len(data) / took / 1000))


def read_timeout(s):
    s.timeout = 0.3
    got = s.read(10)
    s.timeout = 10
    check(got == b"", "a read of 10 bytes with nothing coming ends at its timeout with %r" % got)


def modem_lines(s):
    s.rts = False
    rts_off = wait_for(lambda: not s.cts)
    s.rts = True
    rts_on = wait_for(lambda: s.cts)
    check(rts_off and rts_on and not s.ri, "RTS off and on: CTS followed through the plug (RI stays off: not wired)")
    s.dtr = False
    dtr_off = wait_for(lambda: not s.dsr and not s.cd)
    s.dtr = True
    dtr_on = wait_for(lambda: s.dsr and s.cd)
    check(dtr_off and dtr_on, "DTR off and on: DSR and DCD followed through the plug")


def line_waits_counts_and_break(s, lab):
    import fcntl
    import struct
    import termios
    wait_code, count_code = getattr(termios, "TIOCMIWAIT", 0x545C), getattr(termios, "TIOCGICOUNT", 0x545D)
    counts = lambda: struct.unpack("20i", fcntl.ioctl(s.fd, count_code, bytes(80)))
    before = counts()
    waiter = threading.Thread(target=fcntl.ioctl, args=(s.fd, wait_code, termios.TIOCM_CTS))
    waiter.start()
    time.sleep(0.3)
    s.rts = False
    waiter.join(10)
    woke = not waiter.is_alive()
    s.rts = True
    # TIOCMGET asks the port itself, the counts come from the bridge's line
    # events a moment later: wait for the count, not for CTS.
    wait_for(lambda: s.cts and counts()[0] >= before[0] + 2)
    after = counts()
    check(woke and after[0] >= before[0] + 2, "TIOCMIWAIT on CTS woke when RTS dropped; TIOCGICOUNT counted CTS "
          "%d -> %d" % (before[0], after[0]))
    s.send_break(0.1)
    check("break on" in lab.log() and "break off" in lab.log(), "send_break: SetCommBreak, then ClearCommBreak")


def flushes(s):
    data = bytes(range(256)) * 16
    s.write(data)
    s.flush()
    check(s.read(len(data)) == data, "4 KB written, flush() (drain) returned, all of it came back")
    s.write(b"stale")
    wait_for(lambda: s.in_waiting >= 5)
    s.reset_input_buffer()
    time.sleep(0.2)
    left = s.in_waiting
    back = echo(s, b"fresh")
    check(left == 0 and back == b"fresh", "reset_input_buffer dropped 'stale': %d waiting, then %r" % (left, back))


def refused_rate(s, lab):
    before = lab.ask("LINE")
    s.baudrate = 57600  # tcsetattr succeeds on the pseudo-terminal
    wait_for(lambda: "refused" in lab.log())
    after = lab.ask("LINE")
    back = echo(s, b"still")
    check("refused 57600" in lab.log() and after == before and back == b"still",
          "57600 (not a rate of this device): reported on stderr, the adapter stays at %s, data still moves" % after)
    s.baudrate = 115200


def client(link):
    """Runs with the preload library loaded: the port's user."""
    import serial
    lab = labkit.Attached(link)
    with serial.Serial(link, 115200, timeout=10) as s:
        rates_and_formats(s, lab)
        bulk_round_trip(s)
        read_timeout(s)
        modem_lines(s)
        line_waits_counts_and_break(s, lab)
        flushes(s)
        refused_rate(s, lab)


def main():
    # Paced at the line rate: 256 KB at 115200 8N1 take about 23 s each way.
    with labkit.Lab("pyserial", pcap=True) as lab:
        done = subprocess.run([sys.executable, __file__, "client", lab.link, lab.errors.name],
                              env=lab.env(), timeout=240)
        check(done.returncode == 0, "the pyserial client's checks held")
        messages = labkit.line_messages(lab.pcap)  # each record is flushed as it is written
        check("00 13" in messages, "the capture shows 115200 7E1 as line-settings message 00 13 (all: %s)"
              % ", ".join(messages))


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "client":
        labkit.run(lambda: client(sys.argv[2]))
    else:
        labkit.run(main)
