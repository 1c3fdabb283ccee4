#!/usr/bin/python3
"""A Modbus TCP server on loopback for tests and the field demo.

pymodbus serves the protocol over a register datastore; this script only
sets it up and lets its caller change registers through standard input:

  set TABLE ADDRESS VALUE...    TABLE: coil, discrete, holding or input
  float TABLE ADDRESS VALUE     a float32, high word first
  quit

Each command is answered "ok" (or "error ...") on standard output. The
server stops when standard input closes, so it never outlives its caller.
It prints "port N" once it listens.
"""
import argparse
import asyncio
import struct
import sys
import threading

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.server.async_io import ModbusTcpServer

TABLES = {"coil": 1, "discrete": 2, "holding": 3, "input": 4}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--size", type=int, default=1000,
                    help="registers (and bits) of each table; reads past them are refused")
    ap.add_argument("--unit", type=int, default=1)
    args = ap.parse_args()

    def block():
        return ModbusSequentialDataBlock(0, [0] * args.size)

    slave = ModbusSlaveContext(di=block(), co=block(), hr=block(), ir=block(), zero_mode=True)
    context = ModbusServerContext(slaves={args.unit: slave}, single=False)

    async def run():
        loop = asyncio.get_running_loop()
        server = ModbusTcpServer(context, address=("127.0.0.1", args.port),
                                 allow_reuse_address=True)
        task = asyncio.create_task(server.serve_forever())
        await server.serving
        port = server.server.sockets[0].getsockname()[1]
        print(f"port {port}", flush=True)
        done = loop.create_future()

        def commands():
            for line in sys.stdin:
                words = line.split()
                if not words:
                    continue
                if words[0] == "quit":
                    break
                try:
                    kind, table, address = words[0], TABLES[words[1]], int(words[2])
                    if kind == "float":
                        hi, lo = struct.unpack(">HH", struct.pack(">f", float(words[3])))
                        values = [hi, lo]
                    elif kind == "set":
                        values = [int(w) for w in words[3:]]
                    else:
                        raise ValueError(f"unknown command {kind}")
                    loop.call_soon_threadsafe(slave.setValues, table, address, values)
                    print("ok", flush=True)
                except (KeyError, IndexError, ValueError, struct.error) as e:
                    print(f"error {e}", flush=True)
            loop.call_soon_threadsafe(done.set_result, None)

        threading.Thread(target=commands, daemon=True).start()
        await done
        await server.shutdown()
        task.cancel()

    asyncio.run(run())


if __name__ == "__main__":
    main()
