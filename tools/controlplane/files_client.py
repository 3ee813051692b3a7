"""The operator's side of the agent's file frames (docs/file-transfer.md), on one
WebSocket to the test gateway's relay (/agents/{agent}/ws). Several transfers may run
at once on one socket: each has its session id and its own queue of frames.

    async with FilesClient(operator_url, agent) as fc:
        listing = await fc.list("/tmp")
        done = await fc.upload("u1", "/tmp/x.bin", data, mode="0600")
        data, done = await fc.download("d1", "/tmp/x.bin")
"""

import asyncio
import base64
import hashlib
import json

import aiohttp


class TransferError(Exception):
    def __init__(self, frame):
        super().__init__(f"{frame.get('code')}: {frame.get('message')}")
        self.code = frame.get("code")
        self.frame = frame


class FilesClient:
    def __init__(self, operator_url, agent):
        self.url = f"{operator_url}/agents/{agent}/ws"
        self.queues = {}
        self.other = asyncio.Queue()

    async def __aenter__(self):
        self.http = aiohttp.ClientSession()
        self.ws = await self.http.ws_connect(self.url, max_msg_size=0)
        self.reader = asyncio.ensure_future(self._read())
        return self

    async def __aexit__(self, *exc):
        self.reader.cancel()
        await self.ws.close()
        await self.http.close()

    async def _read(self):
        async for msg in self.ws:
            if msg.type != aiohttp.WSMsgType.TEXT:
                continue
            frame = json.loads(msg.data)
            self.queue(frame.get("session_id")).put_nowait(frame)

    def queue(self, session):
        return self.queues.setdefault(session, asyncio.Queue())

    async def send(self, session, kind, **members):
        await self.ws.send_str(json.dumps(dict(members, type=kind, session_id=session)))

    async def next(self, session, *kinds):
        """The session's next frame of one of `kinds`; file.error raises TransferError."""
        while True:
            frame = await self.queue(session).get()
            if frame.get("type") == "file.error":
                raise TransferError(frame)
            if not kinds or frame.get("type") in kinds:
                return frame

    async def list(self, path, session="ls"):
        await self.send(session, "file.list", path=path)
        return await self.next(session, "file.listing")

    async def upload(self, session, path, data, progress=None, chunk_hook=None, **options):
        """Sends `data` (bytes) within the agent's window; returns its file.done frame.
        `chunk_hook(offset, bytes)` may change what is sent (bad-input tests)."""
        digest = options.pop("sha256", None) or hashlib.sha256(data).hexdigest()
        await self.send(session, "file.upload", path=path, size=len(data), sha256=digest, **options)
        ready = await self.next(session, "file.ready")
        window, step = ready["window"], ready["chunk"]
        offset = acked = 0
        while offset < len(data):
            piece = data[offset:offset + step]
            while offset + len(piece) - acked > window:
                acked = (await self.next(session, "file.ack"))["offset"]
                if progress:
                    progress(acked, len(data))
            sent_offset, sent = chunk_hook(offset, piece) if chunk_hook else (offset, piece)
            await self.send(session, "file.chunk", offset=sent_offset, data=base64.b64encode(sent).decode())
            offset += len(piece)
        done = await self.next(session, "file.done")
        if progress:
            progress(len(data), len(data))
        return done

    async def download(self, session, path, pace=None, sink=None):
        """The file's bytes and its file.done frame; the hash is checked. `pace(offset)`
        may sleep to play a slow operator; with `sink` the bytes go there instead."""
        await self.send(session, "file.download", path=path)
        meta = await self.next(session, "file.meta")
        hasher = hashlib.sha256()
        parts = []
        received = 0
        while True:
            frame = await self.next(session, "file.data", "file.done")
            if frame["type"] == "file.done":
                break
            piece = base64.b64decode(frame["data"])
            assert frame["offset"] == received, (frame["offset"], received)
            received += len(piece)
            hasher.update(piece)
            (sink or parts.append)(piece)
            if pace:
                await pace(received)
            await self.send(session, "file.ack", offset=received)
        if frame["sha256"] != hasher.hexdigest() or frame["size"] != received:
            raise AssertionError(f"download of {path}: {frame} but received {received} bytes "
                                 f"with sha256 {hasher.hexdigest()}")
        return b"".join(parts), dict(frame, meta=meta)
