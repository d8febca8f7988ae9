"""An independent WebSocket server for the client's tests (python3-websockets).

Listens on 127.0.0.1 on a free port, prints "PORT <n>" and serves until killed. What a
connection does depends on its path:
  /echo        echoes every message, text as text and binary as binary
  /fragmented  sends the text "hello fragmented world" in three fragments, then echoes
  /ping        sends a ping with payload b"are you there" and, when the pong arrives, the text
               "pong received"; then echoes (a "ping:<text>" message makes it ping with <text>)
  /close       waits for a text "close <code> <reason>" and closes with that code and reason
  /subprotocol accepts the subprotocol "chat" when offered
  /drop        closes the TCP connection without a closing handshake after the first message
"""
import asyncio
import sys

import websockets


async def handler(ws, path):
    if path == "/fragmented":
        await ws.send(["hello ", "fragmented ", "world"])
    if path == "/ping":
        waiter = await ws.ping(b"are you there")
        await waiter
        await ws.send("pong received")
    if path == "/close":
        message = await ws.recv()
        _, code, reason = message.split(" ", 2)
        await ws.close(int(code), reason)
        return
    if path == "/drop":
        await ws.recv()
        ws.transport.abort()
        return
    try:
        async for message in ws:
            if isinstance(message, str) and message.startswith("ping:"):
                waiter = await ws.ping(message[5:].encode())
                await waiter
                await ws.send("pong for " + message[5:])
                continue
            await ws.send(message)
    except websockets.ConnectionClosed:
        pass


async def main():
    async with websockets.serve(handler, "127.0.0.1", 0, max_size=None, subprotocols=["chat"],
                                compression=None, ping_interval=None) as server:
        port = server.sockets[0].getsockname()[1]
        print("PORT", port, flush=True)
        await asyncio.Future()


asyncio.run(main())
