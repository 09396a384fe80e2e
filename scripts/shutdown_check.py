#!/usr/bin/env python3
"""How fast Quarin is gone once its window closes, with the worker caught in each of its waits.

usage: shutdown_check.py --program QUARIN --probe PROBE_SO [--runs N] [--phases a,b] [--keep DIR]
                         [--trace-at-ms MS]

For every run: a fresh working folder with its own Quarin.ini, the program started offscreen with
the window probe preloaded (bench/window_probe.cpp), the worker brought into the phase and seen
there from outside, then the window's close; the time counts from the close (the probe's stamp,
CLOCK_MONOTONIC) until waitpid has reaped the process. A run passes when the process is gone
within 1.5 s and nothing happened after the close: no line added to Quarin.log, no byte sent on
the link, no message box shown. A process still there after 10 s gets a backtrace of every
thread (gdb) in the --keep folder, then SIGKILL.

Phases:
  tcp_connect     TCP connection attempt that never completes (full accept queue on loopback)
  tcp_wait        TCP slave that accepts, reads and never answers; time-out 30 s
  serial_read     pty whose slave end never answers; time-out 30 s
  pre_send_delay  pty, Quarin.ini with a pre-send delay of 30 s: the port is open, nothing sent
  manual_box      Manual read, slave answers an exception at once (time-out 1 s, after which the
                  short reply is taken as an exception): the error box is up; the box is closed
                  as the operator would, then the window
  worker_box      Scheduled read on the worker, same slave: the error box is up for the worker;
                  the window is closed with the box still up
"""

import argparse
import os
import random
import select
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

LIMIT_MS = 1500
PATIENCE_S = 10.0
GONE_PATIENCE_S = 10.0
LONG_MS = 30000
PHASES = ["tcp_connect", "tcp_wait", "serial_read", "pre_send_delay", "manual_box", "worker_box"]

MANUAL, SCHEDULED, LOGGING = 0, 1, 2


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


EXCEPTION_REPLY = bytes([0x01, 0x83, 0x02]) + crc16(bytes([0x01, 0x83, 0x02]))


def now_ns():
    return time.monotonic_ns()  # CLOCK_MONOTONIC, as the probe's stamps


def write_settings(folder, port, address, pre_send_delay_ms=0, timeout_ms=LONG_MS):
    # port, baud, data type, slave, start, count, protocol, parity, address, wiring (four-wire),
    # time-out, sample rate, close after reply, pre-send delay
    lines = [port, 5, 0, 1, 1, 1, 0, 0, address, 0, timeout_ms, 1, 0, pre_send_delay_ms]
    with open(os.path.join(folder, "Quarin.ini"), "wb") as out:
        out.write(b"".join(str(line).encode() + b"\r\n" for line in lines))


class Recorder:
    """Bytes that reached a slave, each chunk with its arrival time."""

    def __init__(self):
        self.lock = threading.Lock()
        self.chunks = []

    def add(self, data):
        with self.lock:
            self.chunks.append((now_ns(), bytes(data)))

    def total(self):
        with self.lock:
            return sum(len(data) for _, data in self.chunks)

    def after(self, stamp):
        with self.lock:
            return sum(len(data) for when, data in self.chunks if when >= stamp)


class SilentTcpSlave:
    """Accepts on address:502 and reads; never answers."""

    def __init__(self, address):
        self.recorder = Recorder()
        self.accepted = 0
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((address, 502))
        self.listener.listen(8)
        self.stop_r, self.stop_w = os.pipe()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        conns = []
        while True:
            ready, _, _ = select.select([self.listener, self.stop_r] + conns, [], [])
            if self.stop_r in ready:
                break
            for sock in ready:
                if sock is self.listener:
                    conn, _ = self.listener.accept()
                    self.accepted += 1
                    conns.append(conn)
                    continue
                data = sock.recv(4096)
                if data:
                    self.recorder.add(data)
                else:
                    conns.remove(sock)
                    sock.close()
        for conn in conns:
            conn.close()

    def close(self):
        os.write(self.stop_w, b"x")
        self.thread.join(5)
        self.listener.close()
        os.close(self.stop_r)
        os.close(self.stop_w)


class StuckListener:
    """address:502 with a full accept queue: a new connection attempt stays in SYN_SENT."""

    def __init__(self, address):
        self.recorder = Recorder()  # no connection, no bytes
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((address, 502))
        self.listener.listen(0)
        self.filler = socket.create_connection((address, 502), timeout=5)

    def close(self):
        self.filler.close()
        self.listener.close()


class PtySlave:
    """A pty whose slave end is linked as COM1; the master is the slave device's side. It
    records what it is sent and answers each request with `reply` (or stays silent)."""

    def __init__(self, folder, reply=None):
        self.recorder = Recorder()
        self.master, self.slave = os.openpty()
        # Kept open here too, so the master sees no hang-up when the program closes its end.
        self.path = os.ttyname(self.slave)
        os.symlink(self.path, os.path.join(folder, "COM1"))
        self.reply = reply
        self.stop_r, self.stop_w = os.pipe()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        pending = b""
        while True:
            ready, _, _ = select.select([self.master, self.stop_r], [], [])
            if self.stop_r in ready:
                break
            try:
                data = os.read(self.master, 4096)
            except OSError:
                time.sleep(0.01)
                continue
            self.recorder.add(data)
            pending += data
            # A read of one register is 8 bytes in RTU.
            while self.reply is not None and len(pending) >= 8:
                pending = pending[8:]
                os.write(self.master, self.reply)

    def opened_by(self, pid):
        fds = f"/proc/{pid}/fd"
        try:
            for name in os.listdir(fds):
                try:
                    if os.readlink(os.path.join(fds, name)) == self.path:
                        return True
                except OSError:
                    pass
        except OSError:
            pass
        return False

    def close(self):
        os.write(self.stop_w, b"x")
        self.thread.join(5)
        for fd in (self.master, self.slave, self.stop_r, self.stop_w):
            os.close(fd)


def syn_sent_to(address):
    """Sockets of this machine in SYN_SENT toward address:502 (from /proc/net/tcp)."""
    wanted = "".join(f"{int(part):02X}" for part in reversed(address.split("."))) + ":01F6"
    count = 0
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            if fields[2] == wanted and fields[3] == "02":
                count += 1
    return count


class Program:
    """Quarin with the probe, started in folder; its stdout lines collected as they come."""

    def __init__(self, program, probe, folder):
        env = dict(os.environ,
                   QT_QPA_PLATFORM="offscreen",
                   QUARIN_BENCH_PROBE="1",
                   LD_PRELOAD=probe)
        self.stderr = open(os.path.join(folder, "stderr.txt"), "wb")
        self.proc = subprocess.Popen([program],
                                     cwd=folder,
                                     env=env,
                                     stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE,
                                     stderr=self.stderr)
        self.pid = self.proc.pid
        self.pidfd = os.pidfd_open(self.pid)
        self.lines = []
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        self.status = None

    def read(self):
        for raw in self.proc.stdout:
            with self.changed:
                self.lines.append(raw.decode("latin-1").rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def wait_line(self, prefix, timeout_s=PATIENCE_S, start=0):
        deadline = time.monotonic() + timeout_s
        with self.changed:
            while True:
                for line in self.lines[start:]:
                    if line.startswith(prefix):
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)

    def lines_from(self, prefix):
        with self.changed:
            return [line for line in self.lines if line.startswith(prefix)]

    def reap(self, timeout_s):
        """The monotonic time at which waitpid reaped it, or None when still there."""
        deadline = time.monotonic() + timeout_s
        while True:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                stamp = now_ns()
                self.status = status
                self.proc.returncode = os.waitstatus_to_exitcode(status)
                return stamp
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            # Readable once the whole process has exited; a live thread keeps it unreadable.
            select.select([self.pidfd], [], [], min(left, 0.05))

    def backtrace(self, path):
        with open(path, "w") as out:
            subprocess.run(["gdb", "-p", str(self.pid), "-batch", "-ex", "thread apply all bt"],
                           stdout=out, stderr=subprocess.STDOUT, timeout=120, check=False)
            with open(f"/proc/{self.pid}/status") as status:
                out.write("\n" + status.read())

    def kill(self):
        try:
            os.kill(self.pid, 9)
        except ProcessLookupError:
            pass
        self.reap(10)

    def close(self):
        if self.status is None:
            self.kill()
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        self.reader.join(5)
        self.proc.stdout.close()
        os.close(self.pidfd)
        self.stderr.close()


def wait_until(condition, timeout_s=PATIENCE_S):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.005)
    return condition()


def log_size(folder):
    try:
        return os.path.getsize(os.path.join(folder, "Quarin.log"))
    except OSError:
        return -1


class Outcome:
    def __init__(self):
        self.gone_ms = None
        self.problems = []


def run_once(phase, args, run_no):
    outcome = Outcome()
    folder = tempfile.mkdtemp(prefix=f"shutdown-{phase}-")
    # An address of its own per run: port 502 is fixed in the program.
    address = f"127.{random.randint(100, 250)}.{random.randint(1, 250)}.{random.randint(1, 250)}"
    peer = None
    program = None
    try:
        if phase == "tcp_connect":
            peer = StuckListener(address)
            write_settings(folder, 0, address)
        elif phase == "tcp_wait":
            peer = SilentTcpSlave(address)
            write_settings(folder, 0, address)
        elif phase in ("serial_read", "pre_send_delay"):
            peer = PtySlave(folder)
            write_settings(folder, 1, address, LONG_MS if phase == "pre_send_delay" else 0)
        else:
            peer = PtySlave(folder, EXCEPTION_REPLY)
            # Shorter than a register reply, the exception is taken as such only once the
            # time-out has run out: the shortest one.
            write_settings(folder, 1, address, timeout_ms=1000)

        program = Program(args.program, args.probe, folder)
        if program.wait_line("PAINTED") is None:
            outcome.problems.append("window never shown")
            return outcome
        mode = {"manual_box": MANUAL, "worker_box": SCHEDULED}.get(phase, LOGGING)
        program.send(f"INDEX sampleModeCombo {mode}")
        program.send("CLICK readButton")
        if program.wait_line("OK CLICK") is None:
            outcome.problems.append("Read not clicked: " + " | ".join(program.lines_from("ERROR")))
            return outcome

        # Seen from outside: the worker is where the phase wants it.
        if phase == "tcp_connect":
            reached = wait_until(lambda: syn_sent_to(address) == 1)
        elif phase == "tcp_wait":
            reached = wait_until(lambda: peer.recorder.total() >= 12)
        elif phase == "serial_read":
            reached = wait_until(lambda: peer.recorder.total() >= 8)
        elif phase == "pre_send_delay":
            reached = wait_until(lambda: peer.opened_by(program.pid))
        else:
            reached = program.wait_line("BOX ") is not None
        if not reached:
            outcome.problems.append("phase not reached")
            return outcome
        if phase in ("tcp_connect", "tcp_wait", "serial_read", "pre_send_delay"):
            # Well inside the wait, not at its door.
            time.sleep(0.2)
        if phase == "pre_send_delay" and peer.recorder.total() != 0:
            outcome.problems.append("sent during the pre-send delay")
        if phase == "manual_box":
            program.send("CLOSE_BOXES")
            closed = program.wait_line("BOXES_CLOSED")
            if closed is None or closed.split()[2] != "1":
                outcome.problems.append(f"box not closed ({closed})")
                return outcome

        boxes_before = len(program.lines_from("BOX "))
        log_before = log_size(folder)
        sent_line = len(program.lines)
        program.send("CLOSE_WINDOW")
        closing = program.wait_line("CLOSING", start=sent_line)
        if closing is None:
            outcome.problems.append("window not closed: " +
                                    " | ".join(program.lines_from("ERROR")))
            return outcome
        closed_at = int(closing.split()[1])
        if args.trace_at_ms is not None:
            # A look at where the threads are while the close is under way.
            program.reap(args.trace_at_ms / 1000)
            if program.status is None:
                program.backtrace(os.path.join(args.keep, f"{phase}-{run_no}-during-close.txt"))
        gone_at = program.reap(GONE_PATIENCE_S)
        if gone_at is None:
            trace = os.path.join(args.keep, f"{phase}-{run_no}-backtrace.txt")
            program.backtrace(trace)
            outcome.problems.append(f"still there after {GONE_PATIENCE_S:.0f} s, see {trace}")
            program.kill()
            return outcome
        outcome.gone_ms = (gone_at - closed_at) / 1e6
        if outcome.gone_ms > LIMIT_MS:
            outcome.problems.append(f"gone after {outcome.gone_ms:.0f} ms")
        # Let the peers see anything still in flight.
        time.sleep(0.05)
        program.reader.join(2)
        if log_size(folder) != log_before:
            outcome.problems.append("Quarin.log written after the close")
        if len(program.lines_from("BOX ")) != boxes_before:
            outcome.problems.append("message box after the close")
        if peer.recorder.after(closed_at) != 0:
            outcome.problems.append(f"{peer.recorder.after(closed_at)} bytes sent after the close")
        if program.status is not None and os.waitstatus_to_exitcode(program.status) != 0:
            outcome.problems.append(
                f"exit status {os.waitstatus_to_exitcode(program.status)}")
        return outcome
    finally:
        if program is not None:
            program.close()
        if peer is not None:
            peer.close()
        if outcome.problems and args.keep:
            os.makedirs(args.keep, exist_ok=True)
            with open(os.path.join(args.keep, f"{phase}-{run_no}-problems.txt"), "w") as out:
                out.write("\n".join(outcome.problems) + "\n")
                if program is not None:
                    out.write("\nprobe:\n" + "\n".join(program.lines) + "\n")
        subprocess.run(["rm", "-rf", folder], check=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--phases", default=",".join(PHASES))
    parser.add_argument("--trace-at-ms", type=float,
                        help="take a backtrace of every thread this long after the close "
                        "(skews the times)")
    parser.add_argument("--keep", default=tempfile.mkdtemp(prefix="shutdown-report-"),
                        help="folder for backtraces and the record of failed runs")
    args = parser.parse_args()
    # The program runs in a folder of its own.
    args.program = os.path.abspath(args.program)
    args.probe = os.path.abspath(args.probe)
    phases = args.phases.split(",")
    for phase in phases:
        if phase not in PHASES:
            parser.error(f"unknown phase {phase}")
    os.makedirs(args.keep, exist_ok=True)

    rows = []
    all_pass = True
    for phase in phases:
        times = []
        passes = 0
        problems = {}
        for run_no in range(args.runs):
            outcome = run_once(phase, args, run_no)
            if outcome.gone_ms is not None:
                times.append(outcome.gone_ms)
            if not outcome.problems:
                passes += 1
            for problem in outcome.problems:
                problems[problem] = problems.get(problem, 0) + 1
            print(f"{phase} {run_no + 1}/{args.runs}: "
                  f"{'-' if outcome.gone_ms is None else f'{outcome.gone_ms:.1f} ms'}"
                  f"{'' if not outcome.problems else ' ' + '; '.join(outcome.problems)}",
                  file=sys.stderr,
                  flush=True)
        all_pass &= passes == args.runs
        rows.append((phase, args.runs, passes, times, problems))

    print(f"| phase | runs | passes | max ms | median ms |")
    print(f"| --- | --- | --- | --- | --- |")
    for phase, runs, passes, times, _ in rows:
        top = f"{max(times):.1f}" if times else "-"
        middle = f"{statistics.median(times):.1f}" if times else "-"
        print(f"| {phase} | {runs} | {passes} | {top} | {middle} |")
    for phase, _, _, _, problems in rows:
        for problem, count in sorted(problems.items()):
            print(f"- {phase}: {problem} ({count}x)")
    print(f"\npass: gone within {LIMIT_MS} ms of the close, nothing logged, sent or shown after it;"
          f" failed runs are recorded in {args.keep}")
    return 0 if all_pass else 1


if __name__ == "__main__":
    sys.exit(main())
