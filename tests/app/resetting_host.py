"""A Stream Deck host stand-in on loopback that resets the connection once the plug-in registered.

Prints its port, then for the first connection: the registration message as one JSON line, and
then it drops the connection with SO_LINGER 0, so that the kernel sends RST as it does when a host
crashes with unread data.
"""

import asyncio
import json
import socket
import struct

import websockets


async def handler(ws, _path=None):
    message = await ws.recv()
    print(json.dumps({"registration": message if isinstance(message, str) else message.decode()}), flush=True)
    sock = ws.transport.get_extra_info("socket")
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    ws.transport.abort()


async def main():
    async with websockets.serve(handler, "127.0.0.1", 0) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        await asyncio.Future()


asyncio.run(main())
