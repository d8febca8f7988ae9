"""A python3-websockets echo server on 127.0.0.1 and ::1, with TLS when given a certificate chain and key.
Prints its port first.

Usage: websocket_echo_server.py [CERT-CHAIN KEY]
"""
import asyncio
import ssl
import sys

import websockets

from relay import loopback_listeners


async def echo(ws, path=None):
    try:
        async for message in ws:
            await ws.send(message)
    except websockets.ConnectionClosed:
        pass


async def main():
    context = None
    if len(sys.argv) > 2:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[1], sys.argv[2])
    servers = [
        await websockets.serve(echo, sock=listener, ssl=context, compression=None, ping_interval=None)
        for listener in loopback_listeners()
    ]
    print(servers[0].sockets[0].getsockname()[1], flush=True)
    await asyncio.Future()


asyncio.run(main())
