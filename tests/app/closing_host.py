"""A host on 127.0.0.1 that prints the first message a plug-in sends (as JSON: its kind and text)
and then closes the connection. Prints its port first."""
import asyncio
import json

import websockets


async def handler(ws, path=None):
    message = await ws.recv()
    kind = "text" if isinstance(message, str) else "binary"
    text = message if isinstance(message, str) else message.decode()
    print(json.dumps({"kind": kind, "text": text}), flush=True)
    await ws.close()


async def main():
    async with websockets.serve(handler, "127.0.0.1", 0) as server:
        print(server.sockets[0].getsockname()[1], flush=True)
        await asyncio.Future()


asyncio.run(main())
