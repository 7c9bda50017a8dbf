#!/usr/bin/python3
"""A Modbus TCP device on the loopback interface, for tests and benchmarks.

    modbus_device.py --port PORT [--listeners N] [--units LIST]
                     [--holding ADDR=W,W,...]... [--input ADDR=W,W,...]... [--sparse]

PORT 0 takes a free port. With N listeners the same device answers on N ports (PORT
and the N-1 after it, or N free ones), as N loggers of one make would. Every unit id
of LIST ("1", "1,5", "1-247") serves the same registers (addresses 0-based, words
decimal or 0x hex); a request to a unit not listed gets no answer at all (the poller
times out). Without --sparse every other register reads 0; with it an address not
given is refused (illegal data address), as a logger with holes in its register map
does. Prints "ready PORT..." once it listens; runs until it is killed.
Run with /usr/bin/python3 (Debian's python3-pymodbus).
"""

import argparse
import asyncio
import logging
import sys
import types

# pymodbus's server module imports the serial packages, which Debian only recommends;
# this device serves TCP alone, so empty stand-ins do when they are not installed.
for name in ("serial", "serial_asyncio"):
    try:
        __import__(name)
    except ImportError:
        stand_in = types.ModuleType(name)
        stand_in.create_serial_connection = None
        sys.modules[name] = stand_in

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,  # noqa: E402
                                ModbusSlaveContext, ModbusSparseDataBlock)
from pymodbus.server.async_io import ModbusTcpServer  # noqa: E402


def unit_list(text):
    units = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        units.extend(range(int(first), int(last or first) + 1))
    if not units or any(u < 0 or u > 255 for u in units):
        raise argparse.ArgumentTypeError(f"unit ids are 0-255: {text}")
    return units


def registers(text):
    address, _, words = text.partition("=")
    values = [int(word, 0) for word in words.split(",")]
    if not 0 <= int(address) or int(address) + len(values) > 65536:
        raise argparse.ArgumentTypeError(f"registers beyond 0-65535: {text}")
    if any(v < 0 or v > 0xFFFF for v in values):
        raise argparse.ArgumentTypeError(f"a word is 0-65535: {text}")
    return int(address), values


def block(assignments, sparse):
    words = {}
    for address, values in assignments:
        for i, value in enumerate(values):
            words[address + i] = value
    if sparse:
        return ModbusSparseDataBlock(words or {0: 0})
    every = [0] * 65536
    for address, value in words.items():
        every[address] = value
    return ModbusSequentialDataBlock(0, every)


async def serve(options):
    # One context shared by all unit ids: 400 units cost no more than one.
    device = ModbusSlaveContext(
        hr=block(options.holding, options.sparse),
        ir=block(options.input, options.sparse),
        zero_mode=True,
    )
    context = ModbusServerContext(slaves={u: device for u in options.units}, single=False)
    # Reuse the address so that a device killed by a test can come back on its port at
    # once; a long backlog so that hundreds of pollers connecting at one mark are not
    # held up by SYN retries.
    servers = []
    for i in range(options.listeners):
        port = options.port + i if options.port else 0
        servers.append(ModbusTcpServer(context, address=("127.0.0.1", port),
                                       allow_reuse_address=True, backlog=1024))
    tasks = [asyncio.create_task(server.serve_forever()) for server in servers]
    ports = []
    for server in servers:
        await server.serving
        ports.append(str(server.server.sockets[0].getsockname()[1]))
    print("ready " + " ".join(ports), flush=True)
    await asyncio.gather(*tasks)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--listeners", type=int, default=1)
    parser.add_argument("--units", type=unit_list, default=[1])
    parser.add_argument("--holding", type=registers, action="append", default=[])
    parser.add_argument("--input", type=registers, action="append", default=[])
    parser.add_argument("--sparse", action="store_true")
    options = parser.parse_args()
    logging.disable(logging.CRITICAL)  # a poller's dropped connection is no error here
    try:
        asyncio.run(serve(options))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
