"""Starting, wiring and stopping the demo's three processes.

Each process binds its sockets, prints their ports as one JSON line, reads the
wiring (everyone's ports, the shared start time, the settings) as one JSON line,
runs, writes its record and exits 0. The parent puts each process in its own
process group and, however the run ends (success, a failure in any process,
Ctrl-C, SIGTERM, a timeout), stops every group it started and reaps it. A
process whose parent dies is sent SIGTERM by the kernel, and a process that
hears nothing on its sockets for ten seconds gives up, so none outlives a
killed parent either.
"""

from __future__ import annotations

import contextlib
import ctypes
import json
import os
import pathlib
import select
import signal
import subprocess
import sys
import time
import traceback
from collections.abc import Callable, Iterator
from socket import socket

from .link import port_of
from .scenario import Settings

ROLES = ("drive", "proxy", "controller")  # started in this order: each sends to the one before
_STARTUP_S = 30.0  # importing the physics engine on a busy machine
_STOP_GRACE_S = 2.0  # between SIGTERM and SIGKILL
_PR_SET_PDEATHSIG = 1


class RunFailed(RuntimeError):
    pass


def _parent_dies_with_us() -> None:
    """Ask the kernel to send SIGTERM to this process when its parent dies."""
    parent = int(os.environ["ARM_DEMO_PARENT"])
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)
    if os.getppid() != parent:  # it died before we asked
        sys.exit(1)


def serve(bind: Callable[[], dict[str, socket]], run: Callable[[dict[str, socket], dict], None]) -> int:
    """The body of each process: bind, report the ports, read the wiring, run."""
    try:
        _parent_dies_with_us()
        sockets = bind()
        print(json.dumps({name: port_of(sock) for name, sock in sockets.items()}), flush=True)
        sys.stdout = sys.stderr  # the pipe carried the ports; nothing else may block on it
        line = sys.stdin.readline()
        if not line:
            return 1  # the parent went away before wiring us
        run(sockets, json.loads(line))
        return 0
    except Exception:  # noqa: BLE001  (reported, and the parent stops the run)
        traceback.print_exc()
        return 1


def wiring_settings(wiring: dict) -> Settings:
    return Settings(**wiring["settings"])


class Crew:
    """The three processes of one run."""

    def __init__(self, settings: Settings, records: pathlib.Path) -> None:
        self.settings = settings
        self.records = records
        self.processes: dict[str, subprocess.Popen] = {}

    def _start(self, role: str) -> subprocess.Popen:
        env = dict(os.environ)
        package_root = str(pathlib.Path(__file__).resolve().parent.parent)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
        env["ARM_DEMO_PARENT"] = str(os.getpid())
        process = subprocess.Popen(
            [sys.executable, "-m", f"arm_demo.{role}"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            env=env,
            cwd=package_root,  # so `-m` finds the package, and never a source tree in the caller's folder
            process_group=0,  # its own group: Ctrl-C reaches only us, and we stop it
            text=True,
        )
        self.processes[role] = process
        return process

    def _ports(self, role: str, deadline: float) -> dict[str, int]:
        process = self.processes[role]
        while True:
            ready, _, _ = select.select([process.stdout], [], [], 0.1)
            if ready:
                line = process.stdout.readline()
                if not line:
                    raise RunFailed(f"the {role} exited while starting (status {process.wait()})")
                return json.loads(line)
            if process.poll() is not None:
                raise RunFailed(f"the {role} exited while starting (status {process.returncode})")
            if time.monotonic() > deadline:
                raise RunFailed(f"the {role} did not start within {_STARTUP_S:.0f} s")

    def run(self) -> None:
        """Start the three processes, wire them, and wait for all to finish."""
        deadline = time.monotonic() + _STARTUP_S
        for role in ROLES:
            self._start(role)
        ports = {role: self._ports(role, deadline) for role in ROLES}
        wiring = {
            "ports": ports,
            "settings": vars(self.settings),
            "epoch_ns": time.monotonic_ns() + 200_000_000,  # a moment for everyone to read it
            "records": str(self.records.resolve()),
        }
        for role, process in self.processes.items():
            try:
                process.stdin.write(json.dumps(wiring) + "\n")
                process.stdin.close()
            except BrokenPipeError:
                raise RunFailed(f"the {role} exited before it was wired") from None
        finish = time.monotonic() + 0.2 + self.settings.seconds / self.settings.speed + 30.0
        while True:
            codes = {role: process.poll() for role, process in self.processes.items()}
            failed = [role for role, code in codes.items() if code not in (None, 0)]
            if failed:
                raise RunFailed(f"the {' and the '.join(failed)} failed (status {codes[failed[0]]})")
            if all(code == 0 for code in codes.values()):
                return
            if time.monotonic() > finish:
                raise RunFailed("the run did not finish in time")
            time.sleep(0.05)

    def stop(self) -> None:
        """Stop every process group still running, then reap them all."""
        for process in self.processes.values():
            if process.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signal.SIGTERM)
        until = time.monotonic() + _STOP_GRACE_S
        for process in self.processes.values():
            try:
                process.wait(timeout=max(0.0, until - time.monotonic()))
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signal.SIGKILL)
                process.wait()
            for stream in (process.stdin, process.stdout):
                if stream is not None:
                    stream.close()


@contextlib.contextmanager
def termination_as_exit() -> Iterator[None]:
    """SIGTERM and SIGHUP end the run like Ctrl-C does: through the clean-up."""

    def leave(signum, _frame):
        raise SystemExit(128 + signum)

    previous = {sig: signal.signal(sig, leave) for sig in (signal.SIGTERM, signal.SIGHUP)}
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """A second Ctrl-C (or a SIGTERM) must not cut the clean-up short."""
    held = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
    previous = {sig: signal.signal(sig, signal.SIG_IGN) for sig in held}
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)


def run_crew(settings: Settings, records: pathlib.Path) -> None:
    crew = Crew(settings, records)
    with termination_as_exit():
        try:
            crew.run()
        finally:
            with signals_held():
                crew.stop()
