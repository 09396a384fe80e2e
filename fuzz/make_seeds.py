#!/usr/bin/env python3
"""Writes the hand-made seed inputs of every fuzz target into OUTDIR/<target>/.

The seeds are the frames and files of the tests: good replies of every data type, a few broken
ones, the default Quarin.ini and its odd cousins. scripts/fuzz.sh --merge folds them, with what
the fuzzers found, into fuzz/corpus. Each input starts with the settings bytes its target reads
(see the comment at the top of each target); the layouts here must follow them.
"""

import os
import struct
import sys

HOLDING, INPUT, SINGLE, SCATTERED, IDENT = range(5)
FUNCTION = {HOLDING: 0x03, INPUT: 0x04, SINGLE: 0x03, SCATTERED: 0x64, IDENT: 0x2B}
MANUAL_BITS = 3  # sample mode field value that means Manual


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def with_crc(msg):
    c = crc16(msg)
    return bytes(msg) + bytes([c & 0xFF, c >> 8])


def lrc(msg):
    return (-sum(msg)) & 0xFF


def ascii_frame(msg, lower=False):
    text = ":" + bytes(msg).hex().upper() + "%02X" % lrc(msg) + "\r\n"
    if lower:
        text = text.lower()
    return text.encode("latin-1")


def mbap(tid, pdu, protocol=0, length=None):
    n = len(pdu) if length is None else length
    return struct.pack(">HHH", tid, protocol, n) + bytes(pdu)


IDENT_OBJECTS = bytes([0x00, 6]) + b"Quarin" + bytes([0x01, 4]) + b"QM-1" + bytes([0x02, 3]) + b"1.0"


def good_read(slave, dtype, n, trans=2):
    if dtype == SCATTERED:
        return bytes([slave, 0x64, 2 * n + 2, 0x04, trans]) + b"".join(
            struct.pack(">H", k + 1) for k in range(n))
    if dtype == IDENT:
        return bytes([slave, 0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x03]) + IDENT_OBJECTS
    values = [0x000A, 0xFFFF, 0x1234] + [k for k in range(3, n)]
    return bytes([slave, FUNCTION[dtype], 2 * n]) + b"".join(
        struct.pack(">H", v) for v in values[:n])


class Seeds:
    def __init__(self, root):
        self.root = root
        self.count = 0

    def add(self, target, name, data):
        folder = os.path.join(self.root, target)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes(data))
        self.count += 1


def serial_header(dtype, n, jbus=False, hexa=False, two_wire=False, mode=MANUAL_BITS,
                  frame=False, slave=1, start=1, timeout=0, fault=0, delay=False):
    flags = (jbus << 0) | (hexa << 1) | (two_wire << 2) | (mode << 3) | (frame << 5) | \
        ((slave > 255) << 6)
    link = timeout | (fault << 2) | (delay << 5)
    return bytes([dtype, n, flags, slave & 0xFF]) + struct.pack(">H", start) + bytes([link])


def rtu_seeds(s):
    counts = {HOLDING: 3, INPUT: 2, SINGLE: 1, SCATTERED: 3, IDENT: 1}
    for dtype, n in counts.items():
        msg = good_read(1, dtype, n)
        s.add("rtu_reply", "good_%d" % dtype, serial_header(dtype, n) + with_crc(msg))
        s.add("rtu_reply", "framed_%d" % dtype, serial_header(dtype, n, frame=True) + msg)
        s.add("rtu_reply", "jbus_hex_%d" % dtype,
              serial_header(dtype, n, jbus=True, hexa=True) + with_crc(msg))
        s.add("rtu_reply", "logging_%d" % dtype,
              serial_header(dtype, n, mode=2, two_wire=True) + with_crc(msg))
    s.add("rtu_reply", "ten_of_twelve", serial_header(HOLDING, 12, frame=True) +
          good_read(1, HOLDING, 12))
    s.add("rtu_reply", "ffff", serial_header(HOLDING, 1) + with_crc([1, 3, 2, 0xFF, 0xFF]))
    broken = {
        "bad_crc": serial_header(HOLDING, 1) + bytes([1, 3, 2, 0, 0x2A, 0, 0]),
        "exception": serial_header(HOLDING, 1) + with_crc([1, 0x83, 2]),
        "fragment": serial_header(HOLDING, 2) + bytes([1, 3, 4, 0]),
        "nothing": serial_header(HOLDING, 1),
        "wrong_slave": serial_header(HOLDING, 1, frame=True) + bytes([2, 3, 2, 0, 1]),
        "slave_300": serial_header(HOLDING, 1, frame=True, slave=300) + bytes([44, 3, 2, 0, 1]),
        "wrong_function": serial_header(HOLDING, 1, frame=True) + bytes([1, 4, 2, 0, 1]),
        "wrong_count": serial_header(HOLDING, 1, frame=True) + bytes([1, 3, 4, 0, 1]),
        "wrong_sub": serial_header(SCATTERED, 1, frame=True) + bytes([1, 0x64, 4, 5, 2, 0, 1]),
        "wrong_trans": serial_header(SCATTERED, 1, frame=True) + bytes([1, 0x64, 4, 4, 9, 0, 1]),
        "ident_exception": serial_header(IDENT, 1) + with_crc([1, 0xAB, 1]),
        "ident_cut": serial_header(IDENT, 1, frame=True) + bytes([1, 0x2B, 0x0E, 1, 1, 0, 0, 9, 0, 40]),
        "ident_none": serial_header(IDENT, 1, frame=True) + bytes([1, 0x2B, 0x0E, 1, 1, 0, 0, 0]),
        "count_0": serial_header(HOLDING, 0),
        "count_126": serial_header(HOLDING, 126),
        "scattered_101": serial_header(SCATTERED, 101),
        "timeout_999": serial_header(HOLDING, 1, timeout=3),
        "scheduled_failure": serial_header(HOLDING, 1, mode=1) + bytes([1, 3]),
        "no_data_type": bytes([5, 1, 0x18, 1, 0, 1, 0]) + with_crc([1, 0, 2, 0, 1]),
    }
    for fault in range(1, 6):
        broken["fault_%d" % fault] = serial_header(HOLDING, 1, fault=fault) + with_crc(
            good_read(1, HOLDING, 1))
    broken["delay"] = serial_header(HOLDING, 1, delay=True) + with_crc(good_read(1, HOLDING, 1))
    for name, data in broken.items():
        s.add("rtu_reply", name, data)


def ascii_seeds(s):
    counts = {HOLDING: 3, INPUT: 2, SINGLE: 1, SCATTERED: 3, IDENT: 1}
    for dtype, n in counts.items():
        msg = good_read(1, dtype, n)
        s.add("ascii_reply", "good_%d" % dtype, serial_header(dtype, n) + ascii_frame(msg))
        s.add("ascii_reply", "framed_%d" % dtype, serial_header(dtype, n, frame=True) + msg)
        s.add("ascii_reply", "logging_hex_%d" % dtype,
              serial_header(dtype, n, mode=2, hexa=True) + ascii_frame(msg))
    msg = good_read(1, HOLDING, 1)
    frame = ascii_frame(msg)
    broken = {
        "lower_case": serial_header(HOLDING, 1) + ascii_frame([1, 3, 2, 0, 0x0A], lower=True),
        "bad_lrc": serial_header(HOLDING, 1) + frame[:-4] + b"00\r\n",
        "no_colon": serial_header(HOLDING, 1) + b"?" + frame[1:],
        "bit7": serial_header(HOLDING, 1) + bytes([frame[0], frame[1] | 0x80]) + frame[2:],
        "exception": serial_header(HOLDING, 1) + ascii_frame([1, 0x83, 2]),
        "ident_exception": serial_header(IDENT, 1) + ascii_frame([1, 0xAB, 1]),
        "ident_short": serial_header(IDENT, 1) + b":01",
        "fragment": serial_header(HOLDING, 2) + frame,
        "two_wire": serial_header(HOLDING, 1, two_wire=True) + frame,
        "wrong_trans": serial_header(SCATTERED, 1, frame=True) + bytes([1, 0x64, 4, 4, 9, 0, 1]),
    }
    for name, data in broken.items():
        s.add("ascii_reply", name, data)


def tcp_header(dtype, n, jbus=False, hexa=False, mode=MANUAL_BITS, framed=True, close=False,
               second=False, slave=1, start=1, timeout=0, fault=0):
    flags = jbus | (hexa << 1) | (mode << 2) | (framed << 4) | (close << 5) | (second << 6) | \
        ((slave > 255) << 7)
    link = timeout | (fault << 2)
    return bytes([dtype, n, flags, slave & 0xFF]) + struct.pack(">H", start) + bytes([link])


def steps(*parts):
    """Raw steps: bytes objects become data pieces of at most 64 bytes; strings name the rest."""
    out = bytearray()
    for part in parts:
        if isinstance(part, str):
            out.append({"close": 1, "fail": 2 | (26 << 2), "silence": 3, "next": 3 | 4}[part])
            continue
        for at in range(0, len(part), 64):
            piece = part[at:at + 64]
            out.append(((len(piece) - 1) << 2) | 0)
            out += piece
    return bytes(out)


def tcp_seeds(s):
    counts = {HOLDING: 3, INPUT: 2, SINGLE: 1, SCATTERED: 3, IDENT: 1}
    for dtype, n in counts.items():
        pdu = good_read(1, dtype, n)
        s.add("tcp_reply", "framed_%d" % dtype, tcp_header(dtype, n) + bytes([0, 0, 0, 0]) + pdu)
        s.add("tcp_reply", "pieces_%d" % dtype,
              tcp_header(dtype, n, mode=2, second=True) + bytes([0, 0, 3, 0]) + pdu)
        s.add("tcp_reply", "raw_%d" % dtype, tcp_header(dtype, n, framed=False) +
              steps(mbap(1, pdu)))
    pdu = good_read(1, HOLDING, 1)
    frame = mbap(1, pdu)
    cases = {
        "hex_close_after": tcp_header(HOLDING, 1, hexa=True, close=True) + bytes([0, 0, 0, 0]) + pdu,
        "protocol_id": tcp_header(HOLDING, 1) + bytes([0, 7, 0, 0]) + pdu,
        "old_id": tcp_header(HOLDING, 1) + bytes([0xFF, 0, 0, 0]) + pdu,
        "tail_close": tcp_header(HOLDING, 1, second=True) + bytes([0, 0, 0, 64]) + pdu,
        "tail_silence": tcp_header(HOLDING, 1, mode=1) + bytes([0, 0, 1, 128]) + pdu,
        "tail_stray": tcp_header(HOLDING, 1, second=True) + bytes([0, 0, 0, 200]) + pdu,
        "exception": tcp_header(HOLDING, 1) + bytes([0, 0, 0, 0, 1, 0x83, 2]),
        "ident_exception": tcp_header(IDENT, 1) + bytes([0, 0, 0, 0, 1, 0xAB, 1]),
        "ident_short": tcp_header(IDENT, 1) + bytes([0, 0, 0, 0, 1, 0x2B, 0x0E, 1, 1]),
        "short_header": tcp_header(HOLDING, 1, framed=False) + steps(frame[:3], frame[3:]),
        "length_0": tcp_header(HOLDING, 1, framed=False) + steps(mbap(1, pdu, length=0)),
        "length_1": tcp_header(HOLDING, 1, framed=False) + steps(mbap(1, pdu, length=1)),
        "length_255": tcp_header(HOLDING, 1, framed=False) + steps(mbap(1, pdu, length=255)),
        "length_0105": tcp_header(HOLDING, 1, framed=False) + steps(mbap(1, pdu, length=0x0105)),
        "close_mid": tcp_header(HOLDING, 1, framed=False) + steps(frame[:8], "close"),
        "fail_mid": tcp_header(HOLDING, 1, framed=False) + steps(frame[:6], "fail"),
        "silence": tcp_header(HOLDING, 1, framed=False) + steps("silence"),
        "two_reads": tcp_header(HOLDING, 1, framed=False, second=True) +
        steps(frame, "next", mbap(2, pdu)),
        "count_126": tcp_header(HOLDING, 126),
        "timeout_999": tcp_header(HOLDING, 1, timeout=3),
        "no_data_type": bytes([5, 1, 0x1C, 1, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0]),
    }
    for fault in range(1, 6):
        cases["fault_%d" % fault] = tcp_header(HOLDING, 1, fault=fault) + bytes([0, 0, 0, 0]) + pdu
    for name, data in cases.items():
        s.add("tcp_reply", name, data)


def identification_seeds(s):
    def head(dtype, n=1, slave=1, trans=2, tcp=False, hexa=False):
        return bytes([dtype, n, slave & 0xFF, trans, tcp | (hexa << 1) | ((slave > 255) << 7)])
    ident = good_read(1, IDENT, 1)
    cases = {
        "ident": head(IDENT) + ident,
        "ident_tcp": head(IDENT, tcp=True) + ident,
        "no_objects": head(IDENT) + ident[:7] + b"\x00",
        "object_5": head(IDENT) + ident[:7] + bytes([1, 5, 2]) + b"hi",
        "cut_value": head(IDENT) + ident[:7] + bytes([2, 0, 40]) + b"Quar",
        "cut_id": head(IDENT) + ident[:7] + bytes([9, 0, 1]) + b"Q" + bytes([1]),
        "many_objects": head(IDENT) + ident[:7] + bytes([255]) + bytes([2, 0] * 40),
        "holding": head(HOLDING, 3) + good_read(1, HOLDING, 3),
        "holding_hex": head(HOLDING, 3, hexa=True) + good_read(1, HOLDING, 3),
        "twelve": head(HOLDING, 12) + good_read(1, HOLDING, 12),
        "scattered": head(SCATTERED, 3) + good_read(1, SCATTERED, 3),
        "scattered_trans": head(SCATTERED, 3, trans=7, tcp=True) + good_read(1, SCATTERED, 3),
        "scattered_cut": head(SCATTERED, 3) + good_read(1, SCATTERED, 3)[:4],
        "exception": head(HOLDING) + bytes([1, 0x83, 2]),
        "slave_300": head(HOLDING, slave=300) + bytes([44, 3, 2, 0, 1]),
        "no_type": head(5) + bytes([1, 0, 0]),
    }
    for name, data in cases.items():
        s.add("identification", name, data)


def write_header(tcp=False, single=False, hexa=False, protocol=0, frame=True, two_wire=False,
                 close=False, count=1, slave=1, start=1, timeout=0, fault=0, values=(1,)):
    flags = tcp | (single << 1) | (hexa << 2) | (protocol << 3) | (frame << 5) | \
        (two_wire << 6) | (close << 7)
    words = list(values) + [0] * (10 - len(values))
    return bytes([flags, count, slave]) + struct.pack(">H", start) + \
        bytes([timeout | (fault << 2)]) + b"".join(struct.pack(">H", v & 0xFFFF) for v in words)


def write_seeds(s):
    three = dict(count=3, slave=1, start=100, values=(1, 0xFFFF, 40000))
    echo16 = bytes([1, 0x10, 0x00, 0x63, 0x00, 0x03])
    single = dict(single=True, slave=17, start=2, values=(3,))
    echo06 = bytes([17, 0x06, 0x00, 0x01, 0x00, 0x03])
    cases = {
        "rtu_16": write_header(frame=False, **three) + with_crc(echo16),
        "rtu_16_framed": write_header(**three) + echo16,
        "rtu_06": write_header(frame=False, **single) + with_crc(echo06),
        "rtu_06_hex_two_wire": write_header(hexa=True, two_wire=True, **single) + echo06,
        "ascii_06": write_header(protocol=2, single=True, values=(0x1234,)) +
        bytes([1, 6, 0, 0, 0x12, 0x34]),
        "ascii_raw": write_header(protocol=2, frame=False, single=True, values=(0x1234,)) +
        ascii_frame([1, 6, 0, 0, 0x12, 0x34])[:16],
        "jbus_100": write_header(protocol=1, **three) + bytes([1, 0x10, 0, 100, 0, 3]),
        "jbus_99": write_header(protocol=1, **three) + bytes([1, 0x10, 0, 99, 0, 3]),
        "quantity_0103": write_header(**three) + bytes([1, 0x10, 0, 0x63, 1, 3]),
        "start_65535": write_header(start=65535) + bytes([1, 0x10, 0xFF, 0xFE, 0, 1]),
        "exception": write_header(frame=False, **three) + with_crc([1, 0x90, 2]),
        "broadcast": write_header(slave=0),
        "count_11": write_header(count=11),
        "start_0": write_header(start=0),
        "timeout_999": write_header(timeout=3),
        "tcp_16": write_header(tcp=True, **three) + echo16,
        "tcp_06_close": write_header(tcp=True, close=True, **single) + echo06,
        "tcp_raw": write_header(tcp=True, frame=False, **three) + mbap(1, echo16),
        "tcp_old_id": write_header(tcp=True, frame=False, **three) + mbap(0x80, echo16),
        "tcp_exception": write_header(tcp=True, frame=False) + mbap(1, [1, 0x90, 2]),
        "tcp_partial": write_header(tcp=True, frame=False, **three) + mbap(1, echo16)[:7],
        "tcp_broadcast": write_header(tcp=True, slave=0),
        "tcp_closed": write_header(tcp=True, frame=False),
    }
    for fault in range(1, 5):
        cases["fault_%d" % fault] = write_header(fault=fault) + bytes([1, 0x10, 0, 0, 0, 1])
        cases["tcp_fault_%d" % fault] = write_header(tcp=True, fault=fault) + \
            bytes([1, 0x10, 0, 0, 0, 1])
    for name, data in cases.items():
        s.add("write_echo", name, data)


DEFAULT_INI = "0\r\n5\r\n0\r\n1\r\n1\r\n1\r\n0\r\n0\r\n254.254.254.254\r\n0\r\n20000\r\n1\r\n0\r\n0\r\n"


def ini(lines, end="\r\n"):
    return "".join(line + end for line in lines).encode("latin-1")


def settings_seeds(s):
    default = DEFAULT_INI.split("\r\n")[:14]
    cases = {
        "default": DEFAULT_INI.encode(),
        "empty": b"",
        "thirteen": ini(default[:13]),
        "fifteen": ini(default + ["junk"]),
        "lf_only": ini(default, "\n"),
        "no_last_end": ini(default)[:-2],
        "cr_eats_byte": DEFAULT_INI.replace("\r\n", "\rX").encode(),
        "long_address": ini(default[:8] + ["plc-" + "x" * 300 + ".example"] + default[9:]),
        "long_number": ini(["0" * 40 + "1"] + default[1:]),
        "blank_42abc": ini(default[:5] + [" 42abc"] + default[6:]),
        "empty_address": ini(default[:8] + [""] + default[9:]),
        "percent_address": ini(default[:8] + ["%s%n%d"] + default[9:]),
        "tcp_jbus": ini(["0", "5", "0", "1", "1", "3", "1", "0", "10.0.0.1", "0", "2000", "1",
                         "1", "0"]),
        "ascii_none": ini(["2", "3", "0", "7", "40001", "10", "2", "1", "host", "1", "1000",
                           "250", "0", "50"]),
        "out_of_lists": ini(["99", "7", "9", "300", "-5", "0", "5", "4", "a", "9", "-1",
                             "0", "-3", "-50"]),
        "single_count": ini(["1", "5", "2", "1", "1", "8", "0", "0", "x", "0", "20000", "1",
                             "0", "0"]),
        "ident_jbus": ini(["3", "5", "4", "1", "65535", "125", "1", "0", "x", "1", "60000",
                           "60000", "0", "0"]),
        "huge_numbers": ini(["2147483648", "-2147483649", "99999999999", "1", "1", "1", "0", "0",
                             "x", "0", "20000", "1", "0", "0"]),
    }
    for name, data in cases.items():
        s.add("settings_file", name, data)


def log_seeds(s):
    def case(port, slave, flags, address, time, text):
        a = address.encode("latin-1")
        t = time.encode("latin-1")
        return bytes([port]) + struct.pack(">i", slave) + bytes([flags, len(a), len(t)]) + a + t + \
            text.encode("latin-1")
    cases = {
        "tcp_manual": case(0, 1, 0, "254.254.254.254", "12/06/26 08:04:00",
                           "Response has wrong function code"),
        "tcp_logging": case(0, 1, 1, "plc.example", "12/06/26 08:04:00",
                            "Timeout waiting on a response"),
        "serial_logging": case(1, 1, 1, "x", "12/06/26 08:04:00", "Timeout waiting on a response"),
        "stop_line": case(3, 9, 3, "x", "01/01/27 00:00:00",
                          "***** Logging Stopped, Error Count = 3, Transaction Count = 120 *****"),
        "directives": case(0, -7, 1, "%s%n%x%%", "%c - %d", "%s%s%n %d %x %p %%"),
        "big_slave": case(0, 2147483647, 0, "", "", ""),
        "min_slave": case(16, -2147483648, 1, "", "", "\r\n"),
    }
    for name, data in cases.items():
        s.add("log_line", name, data)


def value_seeds(s):
    texts = ["0", "123", "-32768", "65535", "65536", " +42 ", "\t7\t", "-", "+", "0x1F", "0X", "ffff",
             "FFFF", "FFFFFFFF", "100000000", "99999999999999999999", "-0x10", "12abc", "", " ",
             "2147483647", "2147483648", "-2147483648", "-2147483649", "0x", "1e5", "\v\f\r\n-9",
             "7\x00" + "8", "12345678901234567890123", "-ffffffffffffffffffff"]
    for k, text in enumerate(texts):
        s.add("value_text", "text_%02d" % k, struct.pack(">H", (k * 4099) & 0xFFFF) +
              text.encode("latin-1"))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py OUTDIR")
    s = Seeds(sys.argv[1])
    for make in (rtu_seeds, ascii_seeds, tcp_seeds, identification_seeds, write_seeds,
                 settings_seeds, log_seeds, value_seeds):
        make(s)
    print("%d seeds written to %s" % (s.count, sys.argv[1]))


if __name__ == "__main__":
    main()
