"""picocom driven by expect on COM7, whose far end is a second pseudo-terminal
(--far pty) where a script plays the device: it answers each line with the
line in capitals. What is typed at picocom comes back transformed."""
import os
import subprocess
import threading

import labkit
from labkit import check

EXPECT_SCRIPT = r"""
set timeout 30
spawn picocom -b 115200 --imap lfcrlf --omap crlf [lindex $argv 0]
expect {
  "Terminal ready" {}
  timeout { exit 2 }
  eof { exit 3 }
}
send "hello from picocom\r"
expect {
  "HELLO FROM PICOCOM" {}
  timeout { exit 4 }
}
send "\x01\x18"
expect eof
exit 0
"""


def play_device(far, lines):
    """The far end: each line it receives goes back in capitals, until 'stop'."""
    fd = os.open(far, os.O_RDWR | os.O_NOCTTY)
    subprocess.run(["stty", "-F", far, "raw", "-echo"], check=True, timeout=30)
    pending = b""
    try:
        while True:
            chunk = labkit.read_exactly(fd, 1, 60)
            if not chunk:
                return
            pending += chunk
            if pending.endswith(b"\n") or pending.endswith(b"\r"):
                text = pending.strip()
                pending = b""
                if text:
                    lines.append(text)
                    os.write(fd, text.upper() + b"\r\n")
                if text == b"stop":
                    return
    finally:
        os.close(fd)


def main():
    with labkit.Lab("picocom", "--far", "pty") as lab:
        lines = []
        device = threading.Thread(target=play_device, args=(lab.far, lines), daemon=True)
        device.start()
        script = os.path.join(lab.dir, "picocom.exp")
        with open(script, "w") as f:
            f.write(EXPECT_SCRIPT)
        done = subprocess.run(["expect", script, lab.link], capture_output=True, text=True, timeout=90)
        print(done.stdout[-400:])
        check(done.returncode == 0 and lines[:1] == [b"hello from picocom"],
              "picocom: the typed line reached the far end as %r and came back in capitals (expect exit %d)"
              % (lines[:1], done.returncode))
        check("settings changed: 115200" in lab.log(), "picocom's 115200 reached the port as SetCommState")


if __name__ == "__main__":
    labkit.run(main)
