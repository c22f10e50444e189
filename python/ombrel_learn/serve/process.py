"""What every process of `ombrel serve` shares: how the supervisor configures its children, and
how a child makes sure it never outlives the supervisor."""

from __future__ import annotations

import ctypes
import json
import logging
import os
import signal
import sys
from typing import Any

# The children's settings (JSON; never secrets) and the token of the writing endpoints. The token
# travels in the environment, which only the same user (and root) can read, never on a command line.
ENV_CONFIG = "OMBREL_SERVE_CONFIG"
ENV_TOKEN = "OMBREL_SERVE_TOKEN"
# Exit status of a child that could not start (uvicorn uses the same).
STARTUP_FAILURE = 3
_PR_SET_PDEATHSIG = 1

log = logging.getLogger("ombrel.serve")


def die_with_parent(parent: int) -> None:
    """Asks the kernel for SIGTERM when the parent dies (Linux), and exits now when it already
    has. Children also compare os.getppid() with the parent's pid while they run, which is how
    they notice elsewhere (a dead parent's children are adopted by another process)."""
    if sys.platform.startswith("linux"):
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
        except (OSError, AttributeError):
            pass
    if os.getppid() != parent:
        os._exit(0)


def child_config() -> dict[str, Any]:
    config: dict[str, Any] = json.loads(os.environ[ENV_CONFIG])
    return config


def setup_logging(level: str) -> None:
    if not log.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("ombrel serve [%(process)d] %(levelname)s: %(message)s"))
        log.addHandler(handler)
        log.propagate = False
    log.setLevel(level.upper())
