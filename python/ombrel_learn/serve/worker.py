"""One HTTP worker process of `ombrel serve`: uvicorn serving the application on the listening
socket it inherits from the supervisor, with what uvicorn does not bound by itself.

    python -m ombrel_learn.serve.worker        (started by the supervisor, configured by it)

uvicorn closes a connection that stays idle `timeout_keep_alive` seconds after a response, but
waits forever for a request that never comes whole: a connection that sends nothing, or half of
its headers, holds a file descriptor until the client leaves. The protocol made by
`guarded_protocol` closes a connection whose next request head has not arrived within
`header_timeout` seconds (of its opening or of the previous response), and answers 431 and closes
one whose request head exceeds `max_head` bytes (uvicorn's parser keeps every header it is sent,
so a client could otherwise fill the worker's memory until the deadline); the application refuses
a body that has not arrived within its own deadline (408). It also bounds the worker's connections:
at the limit, a new connection closes the one that has waited longest for a request head, or, when
every connection is busy with a request, is answered 503 and closed. The limit stays below the
worker's open-file limit, so that a hot swap can always open the model's files.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import os
import resource
import socket
import sys
from typing import Any

from .app import DEFAULT_BODY_TIMEOUT, DEFAULT_MAX_BODY, ServingApp
from .model import DEFAULT_POLL, load_served
from .process import ENV_TOKEN, STARTUP_FAILURE, child_config, die_with_parent, setup_logging

DEFAULT_HEADER_TIMEOUT = 10.0
DEFAULT_KEEP_ALIVE = 5.0
DEFAULT_MAX_CONNECTIONS = 1000
# Request line and headers, in bytes; browsers and proxies send a few KiB.
DEFAULT_MAX_HEAD = 64 << 10
MIN_MAX_HEAD = 1024
# File descriptors kept free of connections: the model's files during a hot swap, the writer's
# socket, logs, the interpreter's own.
RESERVED_FDS = 64

log = logging.getLogger("ombrel.serve")

_BUSY_BODY = b'{"error": "too many connections to this worker; try again"}'
_BUSY = (b"HTTP/1.1 503 Service Unavailable\r\ncontent-type: application/json\r\nconnection: close\r\n"
         b"content-length: %d\r\n\r\n%s" % (len(_BUSY_BODY), _BUSY_BODY))
_HEAD_TOO_LARGE_BODY = b'{"error": "the request head (request line and headers) is too large"}'
_HEAD_TOO_LARGE = (b"HTTP/1.1 431 Request Header Fields Too Large\r\ncontent-type: application/json\r\n"
                   b"connection: close\r\ncontent-length: %d\r\n\r\n%s"
                   % (len(_HEAD_TOO_LARGE_BODY), _HEAD_TOO_LARGE_BODY))


def connection_limit(requested: int) -> int:
    """The connections a worker keeps open at most: the requested number, lowered to stay below the
    open-file limit (minus the descriptors the worker needs for itself)."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return requested
    return max(1, min(requested, soft - RESERVED_FDS))


def guarded_protocol(base: type, header_timeout: float, max_connections: int,
                     max_head: int = DEFAULT_MAX_HEAD) -> type:
    """A subclass of one of uvicorn's HTTP protocols (httptools or h11: both keep the request in
    progress in `cycle` and call `on_response_complete`) with the head deadline, the head size
    bound and the connection bound described in the module text."""
    open_connections: set[Any] = set()
    # Connections waiting for a request head, oldest first (entries whose head came since are
    # dropped when met).
    waiting: collections.OrderedDict[Any, None] = collections.OrderedDict()

    class Guarded(base):  # type: ignore[misc, valid-type]
        _refused = False
        _head_timer: asyncio.TimerHandle | None = None
        _waiting_for: Any = None
        _head_bytes = 0  # of the request head still arriving
        _head_tail = b""  # its last two bytes, for an end of head split between two reads
        _discard = False  # answered 431: whatever else arrives is dropped unread

        def connection_made(self, transport: Any) -> None:
            if len(open_connections) >= max_connections and not _evict_idle():
                self._refused = True
                transport.write(_BUSY)
                transport.close()
                return
            super().connection_made(transport)
            open_connections.add(self)
            self._await_head()

        def connection_lost(self, exc: Exception | None) -> None:
            if self._refused:
                return
            open_connections.discard(self)
            waiting.pop(self, None)
            if self._head_timer is not None:
                self._head_timer.cancel()
                self._head_timer = None
            super().connection_lost(exc)

        def data_received(self, data: bytes) -> None:
            if self._refused or self._discard:
                return
            waiting_head = self._idle()
            if waiting_head and self._head_bytes + len(data) > max_head:
                # The head must end (a blank line) within its first max_head bytes; what follows
                # it is the body, the application's to bound. A bounded search, before the parser
                # stores any of it.
                window = self._head_tail + data[:max_head - self._head_bytes]
                if b"\n\r\n" not in window and b"\n\n" not in window:
                    self._discard = True
                    self.transport.write(_HEAD_TOO_LARGE)
                    self._close()
                    return
            super().data_received(data)
            if waiting_head and self._idle():
                self._head_bytes += len(data)
                self._head_tail = (self._head_tail + data)[-2:]

        def eof_received(self) -> Any:
            if not self._refused:
                return super().eof_received()
            return None

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if not self.transport.is_closing():
                self._await_head()

        def _await_head(self) -> None:
            if self._head_timer is not None:
                self._head_timer.cancel()
            self._waiting_for = self.cycle
            self._head_bytes = 0
            self._head_tail = b""
            waiting.pop(self, None)
            waiting[self] = None
            self._head_timer = asyncio.get_running_loop().call_later(header_timeout, self._head_late)

        def _idle(self) -> bool:
            """No request head has arrived since the connection opened or its last response (a
            pipelined request already read is not idle: it runs until its answer)."""
            cycle = self.cycle
            return (cycle is self._waiting_for and (cycle is None or cycle.response_complete)
                    and not self.transport.is_closing())

        def _head_late(self) -> None:
            self._head_timer = None
            if self._idle():
                self._close()

        def _close(self) -> None:
            waiting.pop(self, None)
            open_connections.discard(self)
            self.transport.close()

    def _evict_idle() -> bool:
        while waiting:
            oldest, _ = waiting.popitem(last=False)
            if oldest._idle():
                oldest._close()
                return True
        return False

    Guarded.__name__ = Guarded.__qualname__ = f"Guarded{base.__name__}"
    return Guarded


def _protocol_base() -> type:
    try:
        from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol
        return HttpToolsProtocol
    except ImportError:
        from uvicorn.protocols.http.h11_impl import H11Protocol
        return H11Protocol


def app_from_env() -> ServingApp:
    """The application of one worker, configured by the supervisor through the environment."""
    config = child_config()
    return ServingApp(config["folder"], max_body=config.get("max_body", DEFAULT_MAX_BODY),
                      poll=config.get("poll", DEFAULT_POLL), signal_path=config.get("signal_path"),
                      token=os.environ.get(ENV_TOKEN) if config.get("writes") else None,
                      bound_host=config.get("host", "127.0.0.1"), allowed_hosts=config.get("allowed_hosts", ()),
                      allowed_origins=config.get("allowed_origins", ()),
                      body_timeout=config.get("body_timeout", DEFAULT_BODY_TIMEOUT),
                      writer_path=config.get("writer_path"), status_path=config.get("status_path"),
                      page=config.get("page", True))


def main() -> None:
    config = child_config()
    parent = config["parent"]
    die_with_parent(parent)
    setup_logging(config.get("log_level", "info"))
    import uvicorn

    ready = config.get("ready_path")

    class Server(uvicorn.Server):
        async def on_tick(self, counter: int) -> bool:
            if counter == 0 and ready:
                # Serving: tells the supervisor this worker started (see supervisor).
                with open(ready.format(pid=os.getpid()), "w"):
                    pass
            if counter % 5 == 0 and os.getppid() != parent:
                self.should_exit = True  # the supervisor is gone: finish the requests in progress, stop
            return await super().on_tick(counter)

    protocol = guarded_protocol(_protocol_base(), config.get("header_timeout", DEFAULT_HEADER_TIMEOUT),
                                connection_limit(config.get("max_connections", DEFAULT_MAX_CONNECTIONS)),
                                config.get("max_head", DEFAULT_MAX_HEAD))
    app = app_from_env()
    try:
        # Before accepting: a worker that cannot load the model must fail without having taken
        # connections it would then drop (they wait in the shared socket for another worker).
        app.holder.current = load_served(app.holder.folder)
    except Exception as e:  # noqa: BLE001 - the supervisor retries with back-off
        log.error("worker could not load %s: %s", app.holder.folder, e)
        sys.exit(STARTUP_FAILURE)
    # The supervisor's listening socket, inherited (see supervisor.listen_port).
    sock = socket.socket(fileno=config["listen_fd"])
    server = Server(uvicorn.Config(
        app, host=config["host"], port=config["port"], http=protocol, lifespan="on",
        timeout_keep_alive=config.get("keep_alive", DEFAULT_KEEP_ALIVE), timeout_graceful_shutdown=5,
        access_log=config.get("access_log", False), log_level=config.get("log_level", "info")))
    try:
        server.run(sockets=[sock])
    except KeyboardInterrupt:
        pass
    if not server.started:
        sys.exit(STARTUP_FAILURE)


if __name__ == "__main__":
    main()
