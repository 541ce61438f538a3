"""The adapter pulled out while a client has the port open: the client's
reads see no data for a while (no error, no storm of reports), its writes
are taken; after the adapter is plugged in again the same client, without
reopening, carries data through the loopback plug again."""
import os
import time

import serial

import labkit
from labkit import check


def main():
    with labkit.Lab("unplug") as lab:
        with serial.Serial(lab.link, 115200, timeout=0.5) as s:
            s.write(b"before")
            check(s.read(6) == b"before", "the client's bytes come back through the loopback plug")
            check(lab.ask("UNPLUG") == "OK", "adapter unplugged under the open port")
            lines_before = lab.log().count("\n")
            errors, got = [], b""
            for _ in range(6):  # 3 s of an unplugged port
                try:
                    s.write(b"lost")
                    got += s.read(16)
                except serial.SerialException as e:
                    errors.append(str(e))
            reports = lab.log().count("\n") - lines_before
            check(not errors and got == b"", "while unplugged: reads end empty at their timeout, writes are taken, "
                  "no error (%s)" % (errors[:1] or "none"))
            check(reports <= 4, "the bridge reported %d lines meanwhile, not a storm" % reports)
            check(lab.ask("REPLUG") == "OK", "adapter plugged in again: the port bound anew")
            s.reset_input_buffer()
            s.timeout = 10
            s.write(b"after replug")
            back = s.read(12)
            check(back == b"after replug", "the same client, not reopened, carries data again: %r" % back)
        check("adapter unplugged" in lab.log() and "plugged in again" in lab.log(),
              "the bridge reported the unplug and the replug on stderr")


if __name__ == "__main__":
    labkit.run(main)
