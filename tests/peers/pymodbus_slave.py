#!/usr/bin/python3
"""A serial Modbus slave built on pymodbus 3.0, for what libmodbus does not serve.

Run it with the system interpreter, the one Debian's python3-pymodbus is installed for.

usage: pymodbus_slave.py DEVICE [--framer ascii|rtu] [--baud N] [--parity E|N|O]
                         [--bytesize 7|8] [--stopbits 1|2] [--unit N] [--lifetime S]

Defaults: ASCII framing, 9600 baud, 7 data bits, even parity, 1 stop bit, unit 1 (RTU framing
defaults to 8 data bits). Prints "READY" once the device is open and served. Answers its unit
only; unit 0 is a broadcast, executed without a reply.

Serves, by wire address k (0..65535):
  03 / 06 / 16  holding register k = k
  04            input register k = (k + 1000) mod 65536
  43 / 14       device identification, objects 0, 1, 2 = VENDOR_NAME, PRODUCT_CODE, REVISION
  100 / 4       scattered read of holding registers: request = byte count (2n + 2),
                sub-function 4, transmission number, n addresses; reply = byte count (2n + 2),
                sub-function 4, the same transmission number, n values

stdin commands, as the libmodbus slaves: "DUMP <addr> <n>" -> "REGS v0 ...",
"SET <addr> <v0> ..." -> "OK", "LAST" -> "LAST <unit> <fc> <addr> <quantity>" or "LAST none",
"COUNT" -> "COUNT <requests>". Ends when stdin closes, on SIGTERM, or after its lifetime (120 s).
"""

import argparse
import asyncio
import logging
import struct
import sys

from pymodbus.datastore import (
    ModbusSequentialDataBlock,
    ModbusServerContext,
    ModbusSlaveContext,
)
from pymodbus.device import ModbusControlBlock, ModbusDeviceIdentification
from pymodbus.framer.ascii_framer import ModbusAsciiFramer
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.pdu import ModbusExceptions, ModbusRequest, ModbusResponse
from pymodbus.server.async_io import ModbusSerialServer, ModbusSingleRequestHandler

VENDOR_NAME = "Peer Works"
PRODUCT_CODE = "PW-01"
REVISION = "3.0.0"

REGISTER_COUNT = 65536
INPUT_OFFSET = 1000
DEFAULT_LIFETIME_S = 120
SCATTERED_SUB_FUNCTION = 4


class ScatteredReadResponse(ModbusResponse):
    function_code = 0x64
    _rtu_byte_count_pos = 2

    def __init__(self, transmission=0, values=None, **kwargs):
        super().__init__(**kwargs)
        self.transmission = transmission
        self.values = list(values or [])

    def encode(self):
        head = struct.pack(">BBB", 2 * len(self.values) + 2, SCATTERED_SUB_FUNCTION,
                           self.transmission)
        return head + b"".join(struct.pack(">H", value) for value in self.values)

    def decode(self, data):
        self.transmission = data[2]
        body = data[3:]
        self.values = [int.from_bytes(body[i:i + 2], "big") for i in range(0, len(body) - 1, 2)]


class ScatteredReadRequest(ModbusRequest):
    function_code = 0x64
    _rtu_byte_count_pos = 2

    def __init__(self, addresses=None, transmission=0, **kwargs):
        super().__init__(**kwargs)
        self.addresses = list(addresses or [])
        self.transmission = transmission
        self.byte_count = 2 * len(self.addresses) + 2
        self.sub_function = SCATTERED_SUB_FUNCTION
        self.body_length = 2 * len(self.addresses)

    def encode(self):
        head = struct.pack(">BBB", self.byte_count, self.sub_function, self.transmission)
        return head + b"".join(struct.pack(">H", address) for address in self.addresses)

    def decode(self, data):
        self.byte_count, self.sub_function, self.transmission = data[0], data[1], data[2]
        body = data[3:]
        self.body_length = len(body)
        self.addresses = [int.from_bytes(body[i:i + 2], "big") for i in range(0, len(body) - 1, 2)]

    def execute(self, context):
        if self.sub_function != SCATTERED_SUB_FUNCTION:
            return self.doException(ModbusExceptions.IllegalFunction)
        if (not self.addresses or self.body_length != 2 * len(self.addresses)
                or self.byte_count != self.body_length + 2):
            return self.doException(ModbusExceptions.IllegalValue)
        if not all(context.validate(3, address, 1) for address in self.addresses):
            return self.doException(ModbusExceptions.IllegalAddress)
        values = [context.getValues(3, address, 1)[0] for address in self.addresses]
        return ScatteredReadResponse(self.transmission, values)


class RecordingSlaveContext(ModbusSlaveContext):
    """Remembers the last register write, for the LAST command."""

    last_write = None
    unit = 0

    def setValues(self, fc_as_hex, address, values):
        if fc_as_hex in (6, 16):
            self.last_write = (self.unit, fc_as_hex, address, len(values))
        super().setValues(fc_as_hex, address, values)


class CountingHandler(ModbusSingleRequestHandler):
    """Counts the requests for this slave and broadcasts, for the COUNT command."""

    requests = 0
    own_unit = 1

    def execute(self, request, *addr):
        if request.unit_id in (0, CountingHandler.own_unit):
            CountingHandler.requests += 1
        RecordingSlaveContext.unit = request.unit_id
        super().execute(request, *addr)


class ForgivingAsciiFramer(ModbusAsciiFramer):
    """Drops a frame whose LRC is wrong; pymodbus 3.0 keeps it and stalls on it for good."""

    def checkFrame(self):
        if super().checkFrame():
            return True
        end = self._buffer.find(self._end)
        if self._buffer.startswith(self._start) and end != -1:
            self._buffer = self._buffer[end + len(self._end):]
        return False


def make_context(unit):
    slave = RecordingSlaveContext(
        hr=ModbusSequentialDataBlock(0, list(range(REGISTER_COUNT))),
        ir=ModbusSequentialDataBlock(
            0, [(k + INPUT_OFFSET) % REGISTER_COUNT for k in range(REGISTER_COUNT)]),
        zero_mode=True,
    )
    return slave, ModbusServerContext(slaves={unit: slave}, single=False)


def answer(line, slave):
    words = line.split()
    if not words:
        return "ERR empty command"
    try:
        numbers = [int(word) for word in words[1:]]
    except ValueError:
        return "ERR numbers expected"
    if words[0] == "DUMP" and len(numbers) == 2:
        address, count = numbers
        if address < 0 or count < 1 or address + count > REGISTER_COUNT:
            return "ERR DUMP needs <addr> <n> inside 0..65535"
        return "REGS " + " ".join(str(v) for v in slave.getValues(3, address, count))
    if words[0] == "SET" and len(numbers) >= 2:
        address, values = numbers[0], numbers[1:]
        if address < 0 or address + len(values) > REGISTER_COUNT:
            return "ERR SET needs <addr> <v0> ... inside 0..65535"
        # Straight into the store, so LAST keeps reporting the master's writes only.
        ModbusSlaveContext.setValues(slave, 3, address, [v & 0xFFFF for v in values])
        return "OK"
    if words[0] == "LAST":
        if slave.last_write is None:
            return "LAST none"
        return "LAST %d %d %d %d" % slave.last_write
    if words[0] == "COUNT":
        return f"COUNT {CountingHandler.requests}"
    return "ERR unknown command"


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


async def open_server(context, framer, device, baud, line):
    """A serving ModbusSerialServer, or None when the device or its settings were refused."""
    bytesize, parity, stopbits = line
    server = ModbusSerialServer(
        context,
        framer=framer,
        port=device,
        baudrate=baud,
        parity=parity,
        bytesize=bytesize,
        stopbits=stopbits,
        handler=CountingHandler,
        broadcast_enable=True,
        ignore_missing_slaves=True,
    )
    server.decoder.register(ScatteredReadRequest)
    try:
        await server.start()
    except Exception:  # pylint: disable=broad-except
        return None
    return server if server.transport is not None else None


async def serve(args):
    slave, context = make_context(args.unit)
    ModbusControlBlock().Identity.update(ModbusDeviceIdentification(info_name={
        "VendorName": VENDOR_NAME,
        "ProductCode": PRODUCT_CODE,
        "MajorMinorRevision": REVISION,
    }))
    framer = ForgivingAsciiFramer if args.framer == "ascii" else ModbusRtuFramer
    line = (args.bytesize or (7 if args.framer == "ascii" else 8), args.parity, args.stopbits)
    server = await open_server(context, framer, args.device, args.baud, line)
    if server is None and line != (8, "N", 1):
        # Some pty drivers refuse parity or 7 data bits; a pty has no line, so the bytes
        # are the same either way.
        print(f"pymodbus_slave: {args.device} refused {line}, serving with 8N1",
              file=sys.stderr)
        server = await open_server(context, framer, args.device, args.baud, (8, "N", 1))
    if server is None:
        raise SystemExit(f"pymodbus_slave: cannot open {args.device}")

    loop = asyncio.get_running_loop()
    done = asyncio.Event()
    pending = bytearray()

    def on_stdin():
        data = sys.stdin.buffer.raw.read(4096)
        if not data:
            done.set()
            return
        pending.extend(data)
        while b"\n" in pending:
            text, _, rest = bytes(pending).partition(b"\n")
            pending[:] = rest
            say(answer(text.decode("latin-1").strip(), slave))

    loop.add_reader(sys.stdin.fileno(), on_stdin)
    say("READY")
    try:
        await asyncio.wait_for(done.wait(), timeout=args.lifetime)
    except asyncio.TimeoutError:
        pass
    loop.remove_reader(sys.stdin.fileno())
    await server.shutdown()


def main():
    parser = argparse.ArgumentParser(description="pymodbus serial slave for tests.")
    parser.add_argument("device")
    parser.add_argument("--framer", choices=("ascii", "rtu"), default="ascii")
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--parity", choices=("E", "N", "O"), default="E")
    parser.add_argument("--bytesize", type=int, choices=(7, 8))
    parser.add_argument("--stopbits", type=int, choices=(1, 2), default=1)
    parser.add_argument("--unit", type=int, default=1)
    parser.add_argument("--lifetime", type=float, default=DEFAULT_LIFETIME_S)
    parser.add_argument("--verbose", action="store_true", help="let pymodbus log")
    args = parser.parse_args()
    # pymodbus logs every ignored frame and its own shutdown at error level.
    if args.verbose:
        logging.basicConfig(level=logging.DEBUG)
    else:
        logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    CountingHandler.own_unit = args.unit
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
