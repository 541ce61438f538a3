#!/usr/bin/python3
"""Writes the seed corpora of the fuzz harnesses into fuzz/corpus/.

descriptors/: the configuration descriptors of the adapter models (the tables
of sim/usb/adapter_descriptors.cpp) and malformed ones, each behind the two
bytes of device choices and transfer length descriptors_fuzz.cpp reads first.
control_codes/: short operation sequences in control_codes_fuzz.cpp's coding.
port_requests/: short operation sequences in port_requests_fuzz.cpp's coding.

Run it from anywhere; it replaces the seeds it writes and keeps other files
(inputs added by hand, such as the ones that once crashed).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

BULK, INTERRUPT, ISOCHRONOUS, CONTROL = 2, 3, 1, 0


def config_header(interfaces, attributes=0x80):
    return bytearray([9, 2, 0, 0, interfaces, 1, 0, attributes, 50])


def interface(number, endpoints, length=9):
    return bytearray([length, 4, number, 0, endpoints, 0xFF, 0, 0, 0][:max(length, 2)]) + bytearray(max(0, length - 9))


def endpoint(address, kind, packet, interval=0, length=7):
    body = bytearray([length, 5, address, kind]) + bytearray(struct.pack("<H", packet)) + bytearray([interval])
    return body[:length] if length < 7 else body + bytearray(length - 7)


def finish(block, total=None):
    block = bytearray(block)
    struct.pack_into("<H", block, 2, len(block) if total is None else total)
    return block


def adapter(high=False, status=True, control_iso=False, extra=0, bulk_packet=0, wakeup=False):
    bulk = bulk_packet or (512 if high else 64)
    endpoints = 2 + (1 if status else 0) + (2 if control_iso else 0)
    block = config_header(1 + extra, 0x80 | (0x20 if wakeup else 0))
    block += interface(0, endpoints)
    block += endpoint(0x01, BULK, bulk) + endpoint(0x82, BULK, bulk)
    if status:
        block += endpoint(0x83, INTERRUPT, 8, 4 if high else 1)
    if control_iso:
        block += endpoint(0x04, CONTROL, 64) + endpoint(0x85, ISOCHRONOUS, 1024 if high else 192, 1)
    for i in range(1, extra + 1):
        block += interface(i, 2) + endpoint(0x04 + 2 * i, BULK, bulk) + endpoint(0x85 + 2 * i, BULK, bulk)
    return finish(block)


def descriptor_seeds():
    default = adapter()
    seeds = {
        "adapter": (0x00, default),
        "adapter_high_speed": (0x08, adapter(high=True)),
        "adapter_no_status": (0x00, adapter(status=False)),
        "adapter_control_iso": (0x00, adapter(control_iso=True)),
        "adapter_high_iso_extra": (0x08, adapter(high=True, control_iso=True, extra=1)),
        "adapter_small_packets": (0x00, adapter(bulk_packet=8)),
        "adapter_wakeup": (0x00, adapter(wakeup=True)),
        "adapter_no_strings": (0x10, default),
        "adapter_no_serial_short_device": (0xA1, default),
    }
    first_interface, first_endpoint = 9, 18
    zero = bytearray(default)
    zero[first_interface] = 0
    short = bytearray(default)
    short[first_endpoint] = 3
    seeds["malformed_zero_length_interface"] = (0x00, zero)
    seeds["malformed_short_endpoint"] = (0x00, short)
    seeds["malformed_total_too_large"] = (0x00, finish(default, len(default) + 64))
    seeds["malformed_total_beyond_first_read"] = (0x00, finish(default, 600))
    seeds["malformed_total_zero"] = (0x00, finish(default, 0))
    seeds["malformed_total_below_header"] = (0x00, finish(default, 5))
    seeds["malformed_header_only"] = (0x00, finish(config_header(0)))
    seeds["malformed_five_bytes"] = (0x00, default[:5])
    seeds["malformed_no_endpoints"] = (0x00, finish(config_header(1) + interface(0, 0)))
    seeds["malformed_missing_endpoints"] = (0x00, finish(config_header(1) + interface(0, 5) + endpoint(0x01, BULK, 64)))
    seeds["malformed_endpoint_zero"] = (0x00, finish(config_header(1) + interface(0, 1) + endpoint(0x00, BULK, 64)))
    seeds["malformed_packet_zero"] = (0x10, finish(config_header(1) + interface(0, 2) + endpoint(0x01, BULK, 0)
                                                   + endpoint(0x82, ISOCHRONOUS, 0, 1)))
    seeds["malformed_long_interface"] = (0x00, finish(config_header(1) + interface(0, 1, 200) + endpoint(0x82, BULK, 64)))
    seeds["malformed_duplicate_endpoints"] = (0x00, finish(config_header(1) + interface(0, 2) + endpoint(0x82, BULK, 64)
                                                           + endpoint(0x82, INTERRUPT, 8, 1)))
    many = config_header(1) + interface(0, 30)
    for n in range(30):
        many += endpoint(0x80 | (n + 1) if n % 2 else n + 1, BULK, 64)
    seeds["long_thirty_endpoints"] = (0x00, finish(many))
    return {name: bytes([choices, 16]) + bytes(block) for name, (choices, block) in seeds.items()}


# control_codes_fuzz.cpp's coding (see RunOperation).
def op_open(slot, name):
    return [0, slot, name]


def op_close(slot):
    return [1, slot]


def op_ioctl(slot, code, in_pick, out_pick, data=b""):
    return [2, slot, code, in_pick, out_pick] + list(data)


def op_read(slot, length):
    return [3, slot] + list(struct.pack("<H", length))


def op_write(slot, length, fill=0x41):
    return [4, slot] + list(struct.pack("<H", length)) + [fill]


def op_cancel(slot):
    return [5, slot]


def op_settle():
    return [6, 0]


def op_iso_read(slot, length, frame):
    return [7, slot] + list(struct.pack("<H", length)) + [frame]


DEVICE, PIPE00, PIPE01, PIPE02, PIPE03, PIPE04 = 0, 1, 2, 3, 4, 5
LEN0, LEN8, LEN10, LEN64, LEN521 = 0, 6, 8, 15, 17


def control_seeds():
    seqs = {
        "loopback": [0x00] + op_open(0, PIPE00) + op_open(1, PIPE01) + op_write(0, 64) + op_read(1, 64)
        + op_settle() + op_close(0) + op_close(1),
        "every_code_on_device": [0x00] + op_open(0, DEVICE)
        + sum((op_ioctl(0, code, LEN0, LEN521) for code in range(12)), []),
        "every_code_on_pipe": [0x00] + op_open(0, PIPE02)
        + sum((op_ioctl(0, code, LEN0, LEN64) for code in range(11)), []),
        "control_transfer_in": [0x00] + op_open(0, DEVICE)
        + op_ioctl(0, 9, LEN8, LEN64, bytes([0xC0, 0x01, 0, 0, 0, 0, 8, 0])),
        "control_transfer_out": [0x00] + op_open(0, DEVICE)
        + op_ioctl(0, 9, LEN10, LEN0, bytes([0x41, 0x02, 1, 0, 0, 0, 2, 0, 0x55, 0xAA])),
        "vendor_command": [0x00] + op_open(0, DEVICE) + op_ioctl(0, 7, 2, LEN0, bytes([0x01, 0x03])),
        "cancel_pending_read": [0x00] + op_open(0, PIPE01) + op_read(0, 100) + op_cancel(0) + op_settle(),
        "close_with_read_pending": [0x00] + op_open(0, PIPE01) + op_read(0, 100) + op_close(0) + op_open(0, PIPE01),
        "open_twice": [0x00] + op_open(0, PIPE00) + op_open(1, PIPE00) + op_close(0) + op_open(1, PIPE00),
        "endpoint_names": [0x00] + op_open(0, 9) + op_open(1, 14) + op_open(2, 15) + op_open(3, 17) + op_open(4, 21),
        "long_write_segments": [0x00] + op_open(0, PIPE00) + op_open(1, PIPE01) + op_read(1, 4097)
        + op_write(0, 4097) + op_settle(),
        "abort_during_read": [0x00] + op_open(0, PIPE01) + op_read(0, 64) + op_ioctl(0, 8, LEN0, LEN0) + op_settle(),
        "iso_read_at_frame": [0x04] + op_open(0, PIPE04) + op_ioctl(0, 4, LEN0, LEN0) + op_iso_read(0, 384, 3)
        + op_read(0, 192) + op_settle() + op_ioctl(0, 6, LEN0, LEN8),
        "iso_write": [0x05] + op_open(0, PIPE04) + op_write(0, 1025) + op_settle(),
        "interrupt_status": [0x00] + op_open(0, PIPE02) + op_read(0, 8) + op_open(1, DEVICE)
        + op_ioctl(1, 7, 2, LEN0, bytes([0x01, 0x03])) + op_settle(),
        "reset_and_cycle_port": [0x00] + op_open(0, DEVICE) + op_open(1, PIPE01) + op_read(1, 64)
        + op_ioctl(0, 11, LEN0, LEN0) + op_ioctl(0, 12, LEN0, LEN0) + op_settle(),
    }
    return {name: bytes(seq) for name, seq in seqs.items()}


# port_requests_fuzz.cpp's coding (see Session::RunOperation). Serial control
# codes are named by their function number (IOCTL_SERIAL_SET_BAUD_RATE is 1,
# IOCTL_SERIAL_SET_FIFO_CONTROL 39), the port's private ones by 200 to 202.
SET_BAUD, SET_QUEUE_SIZE, SET_LINE_CONTROL, SET_BREAK_ON, SET_BREAK_OFF, IMMEDIATE_CHAR = 1, 2, 3, 4, 5, 6
SET_TIMEOUTS, GET_TIMEOUTS, SET_DTR, CLR_DTR, SET_RTS, CLR_RTS = 7, 8, 9, 10, 12, 13
GET_WAIT_MASK, SET_WAIT_MASK, WAIT_ON_MASK, PURGE, SET_CHARS, SET_HANDFLOW = 16, 17, 18, 19, 23, 25
GET_COMMSTATUS, GET_PROPERTIES, GET_MODEM_CONTROL, SET_MODEM_CONTROL = 27, 29, 37, 38
# Indices of BufferLength's table.
PLEN = {0: 0, 1: 1, 2: 2, 3: 3, 4: 4, 5: 5, 6: 6, 7: 7, 8: 8, 12: 9, 15: 10, 16: 11, 19: 12, 20: 13, 24: 14,
        63: 15, 64: 16, 65: 17, 4096: 18}
EV_RXCHAR, EV_TXEMPTY, EV_CTS, EV_DSR = 0x1, 0x4, 0x8, 0x10
LINE_CTS, LINE_DSR, LINE_DCD = 0x1, 0x2, 0x4


def p_open(slot=0):
    return [0, slot]


def p_close(slot=0):
    return [1, slot]


def p_ioctl(function, data=b"", out=0, slot=0, in_length=None):
    pick = function - 1 if function < 200 else 156 + function - 200
    length = len(data) if in_length is None else in_length
    return [2, slot, pick, PLEN[length], PLEN[out]] + list(data[:32])


def p_read(length, slot=0):
    return [3, slot] + list(struct.pack("<H", length))


def p_write(length, fill=0x30, slot=0):
    return [4, slot] + list(struct.pack("<H", length)) + [fill]


def p_cancel(slot=0):
    return [5, slot]


def p_far_end_sends(length, fill=0x61):
    return [6, 0] + list(struct.pack("<H", length)) + [fill]


def p_lines(lines):
    return [7, 0, lines]


def p_run(ms):
    return [8, 0, ms]


def p_purge(mask, slot=0):
    return [9, slot, mask]


def p_wait(mask, slot=0):
    return [10, slot] + list(struct.pack("<H", mask))


def p_timeouts(interval, multiplier, constant, slot=0):
    return [11, slot, interval, multiplier, constant]


def u32(*values):
    return b"".join(struct.pack("<I", v) for v in values)


def port_seeds():
    every_code = p_open()
    for function in range(1, 40):
        every_code += p_ioctl(function, bytes(24), 64)
    seqs = {
        "immediate_read": [1] + p_open() + p_timeouts(0xFF, 0, 0) + p_far_end_sends(100) + p_run(10) + p_read(100),
        "read_total_timeout": [1] + p_open() + p_timeouts(0, 0, 50) + p_read(100) + p_far_end_sends(20) + p_run(100),
        "read_interval_timeout": [1] + p_open() + p_timeouts(10, 0, 0) + p_read(10) + p_far_end_sends(5) + p_run(50),
        "read_first_byte": [1] + p_open() + p_timeouts(0xFF, 0xFF, 100) + p_read(64) + p_far_end_sends(3) + p_run(5),
        "write_to_far_end": [1] + p_open() + p_write(300) + p_run(10) + p_write(4097) + p_run(50),
        "wait_for_a_character": [1] + p_open() + p_wait(EV_RXCHAR) + p_far_end_sends(1) + p_run(5),
        "wait_for_modem_lines": [1] + p_open() + p_wait(EV_CTS | EV_DSR) + p_lines(LINE_CTS | LINE_DSR) + p_run(5),
        "wait_cancelled": [1] + p_open() + p_wait(EV_TXEMPTY) + p_cancel() + p_run(255) + p_run(255),
        "purge_everything": [1] + p_open() + p_read(100) + p_write(2000) + p_purge(0xF) + p_run(5),
        "every_serial_code": [1] + every_code,
        "queue_size": [1] + p_open() + p_far_end_sends(50) + p_run(5)
        + p_ioctl(SET_QUEUE_SIZE, u32(64, 64)) + p_ioctl(GET_PROPERTIES, out=64) + p_ioctl(GET_COMMSTATUS, out=20),
        "handshake_stalls_a_write": [2] + p_open() + p_ioctl(SET_HANDFLOW, u32(0x08, 0x80, 0, 0)) + p_lines(0)
        + p_write(600) + p_run(20) + p_cancel() + p_run(255) + p_lines(LINE_CTS),
        "close_with_requests": [1] + p_open() + p_read(10) + p_wait(EV_RXCHAR) + p_write(100) + p_close()
        + p_open() + p_read(1),
        "second_open_denied": [1] + p_open(0) + p_open(1) + p_close(0) + p_open(1),
        "private_codes": [1] + p_open() + p_ioctl(200) + p_ioctl(201) + p_ioctl(202) + p_ioctl(200, out=4),
        "immediate_char": [1] + p_open() + p_ioctl(IMMEDIATE_CHAR, b"!") + p_ioctl(IMMEDIATE_CHAR, b"?", 4) + p_run(5),
        "break_and_modem_control": [2] + p_open() + p_ioctl(SET_BREAK_ON) + p_ioctl(SET_BREAK_OFF)
        + p_ioctl(SET_DTR) + p_ioctl(CLR_RTS) + p_ioctl(GET_MODEM_CONTROL, out=4),
        "caps3_modem_control": [3] + p_open() + p_ioctl(SET_MODEM_CONTROL, u32(3)) + p_ioctl(SET_BAUD, u32(9600))
        + p_ioctl(SET_LINE_CONTROL, bytes([0, 0, 8])) + p_close() + p_open(),
        "settings_unbound_codes": [0] + p_open() + p_ioctl(SET_CHARS, bytes([0, 0, 0, 0, 0x11, 0x13]))
        + p_ioctl(SET_TIMEOUTS, u32(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0)) + p_ioctl(GET_TIMEOUTS, out=16),
        "unknown_codes": [1] + p_open() + [2, 0, 200, 0x21, 0x03, PLEN[4], PLEN[4], 1, 2, 3, 4]
        + [2, 0, 240, 0x12, 0x34, 0x56, 0x78, PLEN[8], PLEN[8]] + list(bytes(8)),
    }
    # Once found by the fuzzer: a close while a write stalled on CTS is in
    # flight, whose spent pipe write the close's cancel frees from a list.
    seqs["close_with_a_stalled_write"] = [
        0x2, 0x0, 0x0, 0x2, 0x0, 0x18, 0xb, 0x0, 0x8, 0x0, 0x0, 0x0, 0x80, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0, 0x0,
        0x0, 0x0, 0x0, 0x7, 0x0, 0x0, 0x4, 0x0, 0x58, 0x2, 0x30, 0x8, 0x0, 0x8c, 0x0, 0x1b, 0x0, 0x0, 0xff, 0x7, 0x0,
        0x1]
    return {name: bytes(seq) for name, seq in seqs.items()}


def write(harness, seeds):
    folder = os.path.join(HERE, "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    write("descriptors", descriptor_seeds())
    write("control_codes", control_seeds())
    write("port_requests", port_seeds())
