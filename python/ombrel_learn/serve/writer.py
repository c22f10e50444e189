"""The writer: under `ombrel serve --allow-writes`, the one process that trains the served folder's
weights. The HTTP workers only predict; they hand every /feedback update to the writer over a Unix
socket in the service's private folder, one JSON line each way.

Why one process: training takes each record's lock word, in the mapped file, for the few
instructions it changes the record. A process killed at that moment leaves the word held in the
file, and every later training passes over that record for good. With one writer, the service
knows when no process trains the file: the supervisor starts a writer only once the previous one
has exited (and holds the folder's lock against another server's writer), and each writer, when it
loads a model, releases the lock words left held before it starts training.

    python -m ombrel_learn.serve.writer        (started by the supervisor, configured by it)
"""

from __future__ import annotations

import asyncio
import json
import logging
import os
import signal
import sys
from typing import Any

from .model import ModelHolder, RequestError, ServedModel, feedback_text, release_record_locks
from .process import STARTUP_FAILURE, child_config, die_with_parent, setup_logging

# How long a worker waits for one update's answer once the writer has it.
ANSWER_WAIT = 60.0

log = logging.getLogger("ombrel.serve")


def _line_limit(max_body: int) -> int:
    # A text of a body of max_body bytes, written back as ASCII JSON, is at most 3x longer.
    return 4 * max_body + 4096


async def ask(path: str, update: dict[str, Any], wait: float, max_body: int) -> tuple[int, dict[str, Any]]:
    """Hands one update to the writer: (HTTP status, answer). Waits up to `wait` seconds for a
    writer to accept it (one may be restarting)."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + wait
    while True:
        try:
            reader, writer = await asyncio.open_unix_connection(path, limit=_line_limit(max_body))
            break
        except (FileNotFoundError, ConnectionRefusedError):
            if loop.time() >= deadline:
                return 503, {"error": "live learning is not available right now (its process is starting); "
                                      "try again"}
            await asyncio.sleep(0.05)
    try:
        writer.write(json.dumps(update).encode("ascii") + b"\n")
        await writer.drain()
        line = await asyncio.wait_for(reader.readline(), ANSWER_WAIT)
    except (OSError, TimeoutError, ValueError):
        line = b""
    finally:
        writer.close()
    if not line.endswith(b"\n"):
        return 503, {"error": "the live-learning process stopped during this update; try again"}
    answer = json.loads(line)
    return int(answer["status"]), answer["body"]


class Writer:
    def __init__(self, config: dict[str, Any]):
        self.config = config
        self.holder = ModelHolder(config["folder"], config["poll"], config.get("signal_path"), prepare=self._prepare)

    @staticmethod
    def _prepare(served: ServedModel) -> None:
        # No other process trains this file (see the module text): a held lock word is a leftover.
        path = os.path.join(served.folder, served.identity)
        try:
            released = release_record_locks(path)
        except OSError as e:
            log.warning("could not release the record locks of %s: %s", path, e)
            return
        if released:
            log.warning("released %d record locks of %s left held by a process stopped during an update",
                        released, served.identity)

    def update(self, line: bytes) -> tuple[int, dict[str, Any]]:
        try:
            data = json.loads(line)
            served = self.holder.current
            if served is None:
                raise RequestError(503, "no model loaded yet")
            text = feedback_text(data)
            label = served.check_label(data)
            served.check_learns()
            return 200, served.learn(text, label)
        except RequestError as e:
            return e.status, {"error": e.message}
        except ValueError as e:
            return 400, {"error": f"bad update: {e}"}
        except Exception as e:  # noqa: BLE001 - one bad update must not stop live learning
            log.exception("feedback update failed")
            return 500, {"error": f"internal error: {type(e).__name__}"}

    async def _connection(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            while line := await reader.readline():
                # Updates run one at a time, in this thread, between two model swaps (see ModelHolder).
                status, body = self.update(line)
                writer.write(json.dumps({"status": status, "body": body}).encode("ascii") + b"\n")
                await writer.drain()
        except (OSError, ValueError):
            pass
        finally:
            writer.close()

    async def serve(self) -> int:
        config = self.config
        loop = asyncio.get_running_loop()
        stop = asyncio.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, stop.set)
        try:
            await self.holder.refresh(force=True)
        except Exception as e:  # noqa: BLE001 - the supervisor retries with back-off
            log.error("the writer could not load %s: %s", config["folder"], e)
            return STARTUP_FAILURE
        path = config["writer_path"]
        try:
            os.unlink(path)  # left by a writer that was killed
        except FileNotFoundError:
            pass
        server = await asyncio.start_unix_server(self._connection, path=path, limit=_line_limit(config["max_body"]))
        os.chmod(path, 0o600)
        watch = loop.create_task(self.holder.watch())
        parent = config["parent"]
        while not stop.is_set():
            try:
                await asyncio.wait_for(stop.wait(), 0.5)
            except TimeoutError:
                if os.getppid() != parent:
                    break
        watch.cancel()
        server.close()
        return 0


def main() -> None:
    config = child_config()
    die_with_parent(config["parent"])
    setup_logging(config.get("log_level", "info"))
    sys.exit(asyncio.run(Writer(config).serve()))


if __name__ == "__main__":
    main()
