#!/usr/bin/python3
"""A slave that answers each request with exactly the bytes its script names.

Plain Python, no Modbus library: it knows frames only as far as it must to tell where a request
ends, so every reply - right, broken, late, in pieces or missing - is the script's.

usage: scripted_slave.py (--tcp | --serial DEVICE) (--script FILE | --steps JSON)
                         [--log FILE] [--lifetime S] [--silence-ms MS]

Ready line on stdout: "PORT <n>" (TCP, on 127.0.0.1, port picked by the system) or "READY"
(serial; the device is put in raw mode). Every request seen is appended to the log file as
upper-case hex, one line each, flushed at once. After step i has been acted on it prints
"DONE <i>" (i from 0). Ends when stdin closes, on SIGTERM, or after its lifetime (120 s).

The script is a JSON list of steps, or an object {"steps": [...]}. Step i answers the i-th
request; requests beyond the script are logged and not answered. A step may hold:

  expect          request length in bytes. Without it a TCP request ends where its header says,
                  a serial one that starts with ':' at its LF, any other when the line has been
                  quiet for --silence-ms (20 ms).
  hold            true: print "HELD <i>" and act only after the stdin line "RELEASE".
  delay_ms        wait before acting.
  reply           the reply, as tokens (below). Without it nothing is sent.
  chunks          sizes of the first pieces of the reply; the rest goes as the last piece.
  chunk_delay_ms  pause between pieces: one number, or one per gap.
  after           "close" (FIN) or "reset" (RST): end the TCP connection after the reply, or
                  instead of one. Ignored on a serial line.

Reply tokens, in a whitespace-separated string or a JSON list:

  0103A0          bytes in hex
  tid, tid+N      the request's first two bytes (the TCP transaction id), optionally offset
  echo            the whole request
  req[a:b]        a slice of the request, Python rules; req[i] is one byte
  crc             CRC-16 of everything before it in this reply, low byte first
  lrc             LRC of everything before it, one byte
  ascii           turns everything before it into an ASCII frame: ':', hex, LRC, CR LF
  {"text": "s"}   (list form only) the characters of s as they are, Latin-1

Examples: {"reply": "01 03 02 00 2A crc"}, {"reply": "tid 00 00 00 05 01 03 02 00 2A"},
{"reply": "01 83 02 crc", "chunks": [2], "chunk_delay_ms": 300}, {"after": "reset"}.
"""

import argparse
import json
import os
import re
import select
import socket
import struct
import sys
import termios
import time
import tty

DEFAULT_LIFETIME_S = 120
QUIET_CAP_S = 1.0  # a request still incomplete after this long is taken as it is


class Stop(Exception):
    """stdin closed or the lifetime ran out."""


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def lrc(data):
    return (-sum(data)) & 0xFF


TID_RE = re.compile(r"tid([+-]\d+)?")
REQ_RE = re.compile(r"req\[(-?\d*)(?:(:)(-?\d*))?\]")


def build_reply(reply, request):
    tokens = reply.split() if isinstance(reply, str) else reply
    out = bytearray()
    for token in tokens:
        if isinstance(token, dict):
            out += token["text"].encode("latin-1")
            continue
        lowered = token.lower()
        if lowered == "echo":
            out += request
        elif lowered == "crc":
            crc = crc16(out)
            out += bytes([crc & 0xFF, crc >> 8])
        elif lowered == "lrc":
            out.append(lrc(out))
        elif lowered == "ascii":
            out = bytearray(b":" + out.hex().upper().encode() + b"%02X\r\n" % lrc(out))
        elif match := TID_RE.fullmatch(lowered):
            tid = (int.from_bytes(request[0:2], "big") + int(match[1] or 0)) & 0xFFFF
            out += tid.to_bytes(2, "big")
        elif match := REQ_RE.fullmatch(lowered):
            start = int(match[1]) if match[1] else None
            if match[2]:
                end = int(match[3]) if match[3] else None
                out += request[start:end]
            else:
                out.append(request[start])
        else:
            out += bytes.fromhex(token)
    return bytes(out)


class Control:
    """stdin lines and the lifetime: every wait of the slave goes through here."""

    def __init__(self, lifetime_s):
        self.deadline = time.monotonic() + lifetime_s
        self.pending = b""
        self.lines = []

    def _read_stdin(self):
        data = os.read(0, 4096)
        if not data:
            raise Stop()
        self.pending += data
        *complete, self.pending = self.pending.split(b"\n")
        self.lines += [line.strip().decode("latin-1") for line in complete]

    def wait(self, fds, timeout_s=None, until_line=False):
        """The fds readable within timeout_s (None: no limit but the lifetime); with until_line,
        also ends (with none) when a stdin line arrives."""
        end = self.deadline if timeout_s is None else min(self.deadline,
                                                          time.monotonic() + timeout_s)
        poller = select.poll()
        for fd in [0] + fds:
            poller.register(fd, select.POLLIN)
        while True:
            now = time.monotonic()
            if now >= self.deadline:
                raise Stop()
            events = poller.poll(max(0, int((end - now) * 1000)) if end > now else 0)
            ready = []
            lines_before = len(self.lines)
            for fd, _ in events:
                if fd == 0:
                    self._read_stdin()
                else:
                    ready.append(fd)
            if ready or time.monotonic() >= end:
                return ready
            if until_line and len(self.lines) > lines_before:
                return ready

    def sleep(self, seconds):
        end = time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            self.wait([], left)

    def wait_for_line(self, wanted):
        while True:
            if wanted in self.lines:
                self.lines.remove(wanted)
                return
            self.wait([], None, until_line=True)


def request_complete(buffer, expect, tcp):
    """True, False, or None when only silence can tell."""
    if expect is not None:
        return len(buffer) >= expect
    if tcp:
        return len(buffer) >= 6 and len(buffer) >= 6 + int.from_bytes(buffer[4:6], "big")
    if buffer[:1] == b":":
        return b"\n" in buffer
    return None


class SerialLine:
    tcp = False

    def __init__(self, path, control, silence_s):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        tty.setraw(self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[2] |= termios.CLOCAL | termios.CREAD
        attrs[6][termios.VMIN] = 0
        attrs[6][termios.VTIME] = 0
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        self.control = control
        self.silence_s = silence_s
        self.buffer = b""

    def ready_line(self):
        return "READY"

    def _read(self):
        try:
            data = os.read(self.fd, 4096)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            # A hang-up: the other end of the cable is gone.
            raise Stop()
        self.buffer += data

    def read_request(self, expect):
        while not self.buffer:
            if self.control.wait([self.fd]):
                self._read()
        while True:
            complete = request_complete(self.buffer, expect, False)
            if complete:
                break
            quiet = self.silence_s if complete is None else QUIET_CAP_S
            if not self.control.wait([self.fd], quiet):
                break
            self._read()
        size = len(self.buffer) if expect is None else min(expect, len(self.buffer))
        if expect is None and self.buffer[:1] == b":" and b"\n" in self.buffer:
            size = self.buffer.index(b"\n") + 1
        request, self.buffer = self.buffer[:size], self.buffer[size:]
        return None, request

    def send(self, _, data):
        while data:
            try:
                written = os.write(self.fd, data)
            except BlockingIOError:
                written = 0
            data = data[written:]
            if data:
                select.select([], [self.fd], [], 0.05)

    def end(self, *_):
        pass


class TcpServer:
    tcp = True

    def __init__(self, control):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.control = control
        self.buffers = {}  # connection -> bytes received and not yet taken

    def ready_line(self):
        return f"PORT {self.listener.getsockname()[1]}"

    def _complete(self, expect):
        for conn, buffer in self.buffers.items():
            if buffer and request_complete(buffer, expect, True):
                return conn
        return None

    def _take(self, conn, expect):
        buffer = self.buffers[conn]
        if expect is not None:
            size = expect
        elif len(buffer) >= 6:
            size = 6 + int.from_bytes(buffer[4:6], "big")
        else:
            size = len(buffer)
        self.buffers[conn] = buffer[size:]
        return conn, buffer[:size]

    def read_request(self, expect):
        last_data = {}
        while True:
            conn = self._complete(expect)
            if conn is not None:
                return self._take(conn, expect)
            now = time.monotonic()
            for conn, since in list(last_data.items()):
                if now - since >= QUIET_CAP_S and self.buffers.get(conn):
                    return self._take(conn, expect)
            by_fd = {c.fileno(): c for c in self.buffers}
            ready = self.control.wait([self.listener.fileno()] + list(by_fd), 0.1)
            for fd in ready:
                if fd == self.listener.fileno():
                    conn, _ = self.listener.accept()
                    self.buffers[conn] = b""
                    continue
                conn = by_fd[fd]
                try:
                    data = conn.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    partial = self.buffers.pop(conn)
                    conn.close()
                    if partial:
                        return None, partial
                    continue
                self.buffers[conn] += data
                last_data[conn] = time.monotonic()

    def send(self, conn, data):
        if conn is None or conn not in self.buffers:
            return
        try:
            conn.sendall(data)
        except OSError:
            self.end(conn, "close")

    def end(self, conn, how):
        if conn is None or conn not in self.buffers:
            return
        if how == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        del self.buffers[conn]
        conn.close()


def act(step, index, transport, conn, request, control):
    if step.get("hold"):
        say(f"HELD {index}")
        control.wait_for_line("RELEASE")
    if step.get("delay_ms"):
        control.sleep(step["delay_ms"] / 1000)
    if "reply" in step:
        data = build_reply(step["reply"], request)
        pieces, offset = [], 0
        for size in step.get("chunks", []):
            pieces.append(data[offset:offset + size])
            offset += size
        pieces.append(data[offset:])
        delays = step.get("chunk_delay_ms", 0)
        if not isinstance(delays, list):
            delays = [delays] * len(pieces)
        for number, piece in enumerate(pieces):
            if number > 0 and number - 1 < len(delays):
                control.sleep(delays[number - 1] / 1000)
            transport.send(conn, piece)
    if step.get("after") in ("close", "reset"):
        transport.end(conn, step["after"])


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def load_script(args):
    if args.script:
        with open(args.script, encoding="utf-8") as file:
            script = json.load(file)
    else:
        script = json.loads(args.steps)
    steps = script["steps"] if isinstance(script, dict) else script
    for index, step in enumerate(steps):
        if "reply" in step:
            # Fail before the ready line, not in the middle of a test.
            try:
                build_reply(step["reply"], bytes(16))
            except (ValueError, IndexError, KeyError) as error:
                raise SystemExit(f"scripted_slave: step {index}: bad reply: {error}")
        if step.get("after") not in (None, "close", "reset"):
            raise SystemExit(f"scripted_slave: step {index}: bad after: {step['after']}")
    return steps


def main():
    parser = argparse.ArgumentParser(description="Byte-exact scripted Modbus slave.")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--tcp", action="store_true")
    where.add_argument("--serial", metavar="DEVICE")
    what = parser.add_mutually_exclusive_group(required=True)
    what.add_argument("--script", metavar="FILE")
    what.add_argument("--steps", metavar="JSON")
    parser.add_argument("--log", metavar="FILE")
    parser.add_argument("--lifetime", type=float, default=DEFAULT_LIFETIME_S)
    parser.add_argument("--silence-ms", type=float, default=20)
    args = parser.parse_args()

    steps = load_script(args)
    control = Control(args.lifetime)
    log = open(args.log, "w", encoding="ascii") if args.log else None
    if args.tcp:
        transport = TcpServer(control)
    else:
        transport = SerialLine(args.serial, control, args.silence_ms / 1000)
    say(transport.ready_line())
    index = 0
    try:
        while True:
            step = steps[index] if index < len(steps) else None
            conn, request = transport.read_request(step.get("expect") if step else None)
            if log:
                log.write(request.hex().upper() + "\n")
                log.flush()
            if step is None:
                continue
            act(step, index, transport, conn, request, control)
            say(f"DONE {index}")
            index += 1
    except (Stop, BrokenPipeError, KeyboardInterrupt):
        pass


if __name__ == "__main__":
    main()
