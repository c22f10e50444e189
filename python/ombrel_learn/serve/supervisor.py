"""The supervisor: the `ombrel serve` process itself. It holds the port, starts the HTTP workers and
(with writes enabled) the folder's one writer, restarts whichever dies, reports on them through a
status file the workers show on /health, and stops them all on SIGTERM or SIGINT.

Guarantees:
- The port is the service's alone. A port another server listens on is refused at start with a
  clear error; the supervisor binds one listening socket (without SO_REUSEPORT, so no other socket
  can bind the port while it is open) and every worker inherits it and accepts on it.
- No child outlives the supervisor: each asks the kernel for SIGTERM when its parent dies (Linux)
  and checks its parent's pid twice a second; it then finishes the requests in progress and exits.
- One child's death stops nothing else. A child that exits is started again; one that exits within
  HEALTHY_AFTER seconds of its start (a failure to start: the folder renamed away, say) is retried
  after a delay that doubles each time, up to restart_delay_max. Healthy workers are never stopped
  because replacements fail. Only when no worker has ever served (a service misconfigured from the
  outset: each worker says when it serves, through a file in the service's private folder) does the
  supervisor give up, after FAILURES_AT_START failures in a row of every worker.
- A writer is started only once the previous one has exited, and the supervisor holds a writer lock
  for the served folder (shared with its writer; see lock_folder) for as long as it runs: one process
  at a time trains the folder's weights, so the next writer may release the lock words a killed one
  left.
- SIGTERM and SIGINT stop the service: the children finish the requests in progress (up to 5 s),
  then the supervisor removes its private folder and exits with status 0.
"""

from __future__ import annotations

import errno
import json
import logging
import math
import os
import signal
import site
import socket
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, Iterable

from .app import DEFAULT_BODY_TIMEOUT, DEFAULT_MAX_BODY
from .model import DEFAULT_POLL
from .process import ENV_CONFIG, ENV_TOKEN, setup_logging
from .worker import (DEFAULT_HEADER_TIMEOUT, DEFAULT_KEEP_ALIVE, DEFAULT_MAX_CONNECTIONS, DEFAULT_MAX_HEAD,
                             MIN_MAX_HEAD)

DEFAULT_RESTART_DELAY_MAX = 10.0
FIRST_RESTART_DELAY = 0.25
HEALTHY_AFTER = 5.0
FAILURES_AT_START = 5
# How long the children have to finish after SIGTERM (uvicorn's graceful shutdown is 5 s).
STOP_WAIT = 10.0
MIN_TOKEN_LENGTH = 16
MIN_POLL = 0.05

log = logging.getLogger("ombrel.serve")


class ServeError(Exception):
    """The service cannot start as asked (a port in use, a folder another server writes...)."""


def listen_port(host: str, port: int) -> socket.socket:
    """The service's one listening socket, which every worker inherits and accepts on.

    It is bound without SO_REUSEPORT, so the port is the service's alone: binding fails when any
    socket listens there, and while it listens no other socket can bind the port, whatever options
    it sets. (SO_REUSEADDR only lets it take a port a past connection left in TIME_WAIT.)"""
    try:
        family, kind, proto, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0]
    except socket.gaierror as e:
        raise ServeError(f"cannot serve on host {host!r}: {e.strerror}") from None
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(2048)
    except OSError as e:
        sock.close()
        if e.errno == errno.EADDRINUSE:
            raise ServeError(f"port {port} on {host} is in use (another server listens there)") from None
        raise ServeError(f"cannot listen on {host}:{port}: {e.strerror}") from None
    return sock


def remove_stale_scratch() -> None:
    """Removes the private folders (`ombrel-serve-<pid>-*`) of services killed before they could
    (SIGKILL): those whose process no longer exists and that belong to this user."""
    import glob
    import shutil

    for path in glob.glob(os.path.join(tempfile.gettempdir(), "ombrel-serve-*-*")):
        pid = os.path.basename(path).split("-")[2]
        try:
            if not pid.isdigit() or os.stat(path).st_uid != os.getuid():
                continue
            os.kill(int(pid), 0)
        except ProcessLookupError:
            shutil.rmtree(path, ignore_errors=True)
        except OSError:
            continue


def lock_folder(folder: str) -> socket.socket | None:
    """The served folder's writer lock, held for as long as this socket (an abstract Unix socket named
    after the folder's device and inode) is open in any process: the supervisor and its writer.
    Saves take a lock of their own on the folder itself; this one excludes only another writer."""
    if not sys.platform.startswith("linux"):
        return None
    info = os.stat(folder)
    marker = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        marker.bind(f"\0ombrel-serve-writer:{info.st_dev}:{info.st_ino}")
    except OSError:
        marker.close()
        raise ServeError(f"{folder} is already served with --allow-writes by another ombrel serve: one "
                         f"process at a time may train a folder") from None
    return marker


class Child:
    """One slot of the service: a worker or the writer, and its history."""

    def __init__(self, role: str, slot: int):
        self.role, self.slot = role, slot
        self.process: subprocess.Popen[bytes] | None = None
        self.started = 0.0
        self.next_start = 0.0
        self.failures = 0  # exits within HEALTHY_AFTER of a start, in a row
        self.restarts = 0
        self.ever_healthy = False  # a worker of this slot has once served
        self.last_exit: int | None = None

    def name(self) -> str:
        return "the writer" if self.role == "writer" else f"worker {self.slot}"

    def status(self, now: float) -> dict[str, Any]:
        answer: dict[str, Any] = {"pid": self.process.pid if self.process else None,
                                  "running": self.process is not None, "restarts": self.restarts,
                                  "failures": self.failures, "last_exit": self.last_exit}
        if self.process is None:
            answer["next_try_in"] = round(max(0.0, self.next_start - now), 3)
        return answer


class Supervisor:
    def __init__(self, config: dict[str, Any], workers: int, token: str | None, restart_delay_max: float,
                 pass_fds: Iterable[int], listen_fd: int):
        self.config = config
        self.token = token
        self.restart_delay_max = restart_delay_max
        self.pass_fds = tuple(pass_fds)
        self.listen_fd = listen_fd
        self.children = [Child("worker", i) for i in range(workers)]
        self.writer = Child("writer", 0) if config.get("writes") else None
        if self.writer is not None:
            self.children.insert(0, self.writer)
        self.env = self._environment()

    def _environment(self) -> dict[str, str]:
        env = dict(os.environ)
        env[ENV_CONFIG] = json.dumps(self.config)
        env.pop(ENV_TOKEN, None)
        if self.token is not None:
            env[ENV_TOKEN] = self.token
        # The children import this package from where this process did (a source tree not on their
        # default path included; an installed package's site-packages needs nothing).
        here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        installed = {os.path.abspath(p) for p in [*site.getsitepackages(), site.getusersitepackages()]}
        if here not in installed:
            env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH")) if p)
        # Each worker's native pool: the cores shared out among the workers (a request is one text or
        # a batch; N workers with a pool of every core each would only contend).
        env.setdefault("RAYON_NUM_THREADS", str(max(1, (os.cpu_count() or 1) // max(1, len(self.children)))))
        return env

    def _start(self, child: Child) -> None:
        module = "ombrel_learn.serve.writer" if child.role == "writer" else "ombrel_learn.serve.worker"
        child.process = subprocess.Popen([sys.executable, "-m", module], env=self.env,
                                         pass_fds=self.pass_fds if child.role == "writer" else (self.listen_fd,))
        child.started = time.monotonic()
        if child.last_exit is not None:
            child.restarts += 1

    def _exited(self, child: Child, code: int, now: float) -> None:
        assert child.process is not None
        pid, lived = child.process.pid, now - child.started
        child.process = None
        child.last_exit = code
        if lived < HEALTHY_AFTER:
            child.failures += 1
        else:
            child.failures = 0
        delay = 0.0 if child.failures == 0 else min(self.restart_delay_max,
                                                    FIRST_RESTART_DELAY * 2 ** (child.failures - 1))
        child.next_start = now + delay
        if child.failures:
            log.warning("%s (pid %d) exited with status %s %.1f s after its start (%d in a row); next try in %.1f s",
                        child.name(), pid, code, lived, child.failures, delay)
        else:
            log.warning("%s (pid %d) exited with status %s; starting another", child.name(), pid, code)

    def _write_status(self, now: float) -> None:
        workers = [c for c in self.children if c.role == "worker"]
        status = {
            "supervisor": os.getpid(),
            "workers": len(workers),
            "running": sum(c.process is not None for c in workers),
            "restarts": sum(c.restarts for c in workers),
            "failing": [dict(c.status(now), slot=c.slot) for c in workers if c.failures],
            "writer": self.writer.status(now) if self.writer is not None else None,
        }
        path = self.config["status_path"]
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            json.dump(status, f)
        os.replace(path + ".tmp", path)

    def run(self, stop: threading.Event) -> None:
        changed = True
        try:
            while True:
                now = time.monotonic()
                for child in self.children:
                    if child.process is not None:
                        code = child.process.poll()
                        if code is None:
                            if not child.ever_healthy and os.path.exists(
                                    self.config["ready_path"].format(pid=child.process.pid)):
                                child.ever_healthy = True
                            if child.failures and now - child.started >= HEALTHY_AFTER:
                                child.failures = 0
                                changed = True
                            continue
                        self._exited(child, code, now)
                        changed = True
                    if now >= child.next_start and not stop.is_set():
                        self._start(child)
                        changed = True
                if changed:
                    self._write_status(now)
                    changed = False
                workers = [c for c in self.children if c.role == "worker"]
                if not any(c.ever_healthy for c in workers) and all(c.failures >= FAILURES_AT_START for c in workers):
                    raise ServeError(f"no worker could start ({FAILURES_AT_START} tries each, the last exited "
                                     f"with status {workers[-1].last_exit}); see the messages above")
                if stop.wait(0.1):
                    break
        finally:
            self._stop()

    def _stop(self) -> None:
        running = [c.process for c in self.children if c.process is not None]
        for process in running:
            try:
                process.send_signal(signal.SIGTERM)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + STOP_WAIT
        for process in running:
            try:
                process.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def check_settings(port: int, workers: int, max_body: int, poll: float, timeouts: dict[str, float],
                   max_connections: int, restart_delay_max: float, max_head: int = DEFAULT_MAX_HEAD) -> None:
    """Refuses settings that cannot work, each with a message naming the command-line option."""
    if not 0 <= port <= 65535:
        raise ServeError(f"--port must be between 0 and 65535, got {port}")
    if workers < 1:
        raise ServeError(f"--workers must be at least 1, got {workers}")
    if max_body < 1:
        raise ServeError(f"--max-body must be at least 1, got {max_body}")
    if max_connections < 1:
        raise ServeError(f"--max-connections must be at least 1, got {max_connections}")
    if max_head < MIN_MAX_HEAD:
        raise ServeError(f"--max-head must be at least {MIN_MAX_HEAD} bytes, got {max_head}")
    for option, value in {"--poll": poll, "--restart-delay-max": restart_delay_max, **timeouts}.items():
        if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
            raise ServeError(f"{option} must be a finite number of seconds above 0, got {value}")
    if poll < MIN_POLL:
        # Each poll is a stat of model.json: a worker polling far more often only burns a core.
        raise ServeError(f"--poll must be at least {MIN_POLL:g} seconds, got {poll:g}")


def run(folder: str, workers: int = 1, host: str = "127.0.0.1", port: int = 8000,
        max_body: int = DEFAULT_MAX_BODY, poll: float = DEFAULT_POLL, access_log: bool = False,
        log_level: str = "info", *, token: str | None = None, allowed_hosts: Iterable[str] = (),
        allowed_origins: Iterable[str] = (), header_timeout: float = DEFAULT_HEADER_TIMEOUT,
        body_timeout: float = DEFAULT_BODY_TIMEOUT, keep_alive: float = DEFAULT_KEEP_ALIVE,
        max_connections: int = DEFAULT_MAX_CONNECTIONS,
        restart_delay_max: float = DEFAULT_RESTART_DELAY_MAX, max_head: int = DEFAULT_MAX_HEAD,
        page: bool = True) -> None:
    """Serves the folder in `workers` processes until SIGINT or SIGTERM. token: enables the writing
    endpoints (/feedback, /reload) for requests that carry it. page: answer / with the page to try the
    model. Raises ServeError when the service cannot start as asked."""
    stop = threading.Event()
    previous = {sig: signal.signal(sig, lambda *_: stop.set()) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        setup_logging(log_level)
        check_settings(port, workers, max_body, poll, {"--timeout-header": header_timeout,
                                                       "--timeout-body": body_timeout,
                                                       "--timeout-keep-alive": keep_alive},
                       max_connections, restart_delay_max, max_head)
        if token is not None and len(token) < MIN_TOKEN_LENGTH:
            raise ServeError(f"the token must be at least {MIN_TOKEN_LENGTH} characters long")
        folder = os.path.abspath(folder)
        listener = listen_port(host, port)
        port = listener.getsockname()[1]
        folder_lock = None
        try:
            remove_stale_scratch()
            folder_lock = lock_folder(folder) if token is not None else None
            with tempfile.TemporaryDirectory(prefix=f"ombrel-serve-{os.getpid()}-") as scratch:
                config: dict[str, Any] = {
                    "folder": folder, "host": host, "port": port, "parent": os.getpid(), "max_body": max_body,
                    "poll": poll, "access_log": access_log, "log_level": log_level, "writes": token is not None,
                    "allowed_hosts": list(allowed_hosts), "allowed_origins": list(allowed_origins),
                    "header_timeout": header_timeout, "body_timeout": body_timeout, "keep_alive": keep_alive,
                    "max_connections": max_connections, "max_head": max_head, "page": page,
                    "listen_fd": listener.fileno(), "signal_path": os.path.join(scratch, "reload"),
                    "status_path": os.path.join(scratch, "status.json"),
                    "ready_path": os.path.join(scratch, "ready-{pid}"),
                    "writer_path": os.path.join(scratch, "writer.sock") if token is not None else None,
                }
                open(config["signal_path"], "w").close()
                supervisor = Supervisor(config, workers, token, restart_delay_max,
                                        [folder_lock.fileno()] if folder_lock is not None else [],
                                        listener.fileno())
                log.info("ombrel serve: %d worker%s on http://%s:%d (pid %d); writing endpoints %s", workers,
                            "s" if workers > 1 else "", host, port, os.getpid(),
                            "enabled (token required)" if token is not None else "disabled")
                supervisor.run(stop)
        finally:
            if folder_lock is not None:
                folder_lock.close()
            listener.close()
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
