"""A simulated KV210 probe for tests: the ``kv210_sim`` pytest fixture.

The fixture starts ``kv210-sim`` on a fresh pseudo-terminal, yields its device
path and stops it after the test, removing its link::

    import kv210
    import pytest

    @pytest.mark.kv210_sim(serial="0424K10999", total_field=7.5, faults=["b:silence"])
    def test_my_script(kv210_sim):
        with kv210.Probe(kv210_sim) as probe:
            assert probe.total_field() == 7.5
            with pytest.raises(kv210.ProbeTimeoutError):
                probe.battery()

Options come from the ``kv210_sim`` marker or from indirect parametrisation
(``@pytest.mark.parametrize("kv210_sim", [{...}], indirect=True)``); they are
the simulator's command-line options: ``fast`` (no 9600-baud pacing), the
identity (``model``, ``release``, ``date``, ``serial``, ``address``, ``name``,
``calibration_date``, ``field_limit``), the readings (``battery_raw``,
``temperature_raw``, ``total_field``, ``axis``, ``frequency_echo``) and faults (``faults``,
``faults_once``: ``"COMMAND:KIND[:ARG...]"`` as ``kv210-sim --help`` lists).

``kv210-sim`` is taken from ``--kv210-sim PATH``, the ``KV210_SIM`` variable,
next to the package (a built tree), or the ``PATH``.
"""

from __future__ import annotations

import os
import re
import selectors
import shutil
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any, Iterator, Sequence

import pytest

_IDENTITY_AND_READINGS = {
    "model", "release", "date", "serial", "address", "name", "calibration_date", "field_limit",
    "battery_raw", "temperature_raw", "total_field", "axis", "frequency_echo",
}
_START_SECONDS = 10


class SimulatorDevice(str):
    """The device path of a running simulated probe, which also tells what the probe received."""

    log: Path

    def frames(self) -> list[str]:
        """The command frames the probe has taken so far, in order, NUL padding dropped."""
        text = self.log.read_text(errors="replace") if self.log.exists() else ""
        return [re.sub(r"\\x([0-9A-F]{2})", lambda m: chr(int(m.group(1), 16)), frame)
                for frame in re.findall(r"^kv210-sim: frame  (.*)$", text, re.MULTILINE)]


def find_simulator(explicit: str | None = None) -> str:
    """The kv210-sim program: ``explicit``, ``KV210_SIM``, beside the package, or on the PATH."""
    beside = Path(__file__).parent.parent / "kv210-sim"
    for candidate in (explicit, os.environ.get("KV210_SIM"), str(beside) if beside.is_file() else None,
                      shutil.which("kv210-sim")):
        if candidate:
            return candidate
    raise FileNotFoundError("kv210-sim not found: pass --kv210-sim PATH, set KV210_SIM, or put it on the PATH")


class Simulator:
    """A running ``kv210-sim``; a context manager that yields its :class:`SimulatorDevice`."""

    def __init__(self, executable: str | None = None, *, fast: bool = False, faults: Sequence[str] = (),
                 faults_once: Sequence[str] = (), **options: Any) -> None:
        unknown = set(options) - _IDENTITY_AND_READINGS
        if unknown:
            raise TypeError(f"unknown simulator options: {', '.join(sorted(unknown))}")
        self.arguments = [find_simulator(executable), "--verbose"] + (["--fast"] if fast else [])
        for key, value in options.items():
            text = ",".join(map(str, value)) if key == "axis" else str(value)
            self.arguments.append(f"--{key.replace('_', '-')}={text}")  # '=': a value may begin with '-'
        faults, faults_once = ([f] if isinstance(f, str) else f for f in (faults, faults_once))
        self.arguments += [f"--fault={f}" for f in faults] + [f"--fault-once={f}" for f in faults_once]
        self._process: subprocess.Popen[bytes] | None = None
        self._folder: str | None = None

    def start(self) -> SimulatorDevice:
        self._folder = tempfile.mkdtemp(prefix="kv210-sim-")
        log = Path(self._folder) / "kv210-sim.log"
        with open(log, "wb") as log_file:
            self._process = subprocess.Popen(self.arguments + ["--link", os.path.join(self._folder, "probe")],
                                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log_file)
        assert self._process.stdout is not None
        line = b""
        deadline = time.monotonic() + _START_SECONDS
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            while not line.endswith(b"\n") and selector.select(max(0.0, deadline - time.monotonic())):
                chunk = os.read(self._process.stdout.fileno(), 256)
                if not chunk:
                    break
                line += chunk
        if not line.endswith(b"\n"):
            self.stop()
            raise RuntimeError(f"{' '.join(self.arguments)} did not start:\n{log.read_text(errors='replace')}")
        device = SimulatorDevice(line.decode().strip())
        device.log = log
        return device

    def stop(self) -> None:
        """Stops the simulator and removes its link and log."""
        if self._process is not None:
            self._process.terminate()
            try:
                self._process.wait(5)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            if self._process.stdout:
                self._process.stdout.close()
            self._process = None
        if self._folder is not None:
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None

    def __enter__(self) -> SimulatorDevice:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.getgroup("kv210").addoption("--kv210-sim", metavar="PATH", help="the kv210-sim program to run")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "kv210_sim(**options): options of the simulated probe of kv210_sim")


@pytest.fixture
def kv210_sim(request: pytest.FixtureRequest) -> Iterator[SimulatorDevice]:
    """A simulated KV210 probe on a fresh pseudo-terminal: its device path."""
    marker = request.node.get_closest_marker("kv210_sim")
    options = {**(marker.kwargs if marker else {}), **(getattr(request, "param", None) or {})}
    with Simulator(request.config.getoption("kv210_sim"), **options) as device:
        yield device
