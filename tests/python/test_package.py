"""Finding the library, and python -m kv210 against velprobe's output."""

import ctypes.util
import json
import re
import subprocess
import sys

import pytest

import kv210
from kv210 import _native
from kv210.testing import Simulator
from kv210.values import json_number


def touch(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"")
    return str(path)


def test_library_is_looked_for_in_the_variable_then_next_to_the_package_then_by_the_loader(tmp_path, monkeypatch):
    package = tmp_path / "site" / "kv210"
    monkeypatch.setattr(ctypes.util, "find_library", lambda name: f"lib{name}.so.1")
    assert kv210.find_library({}, package) == "libVEL_KV21X.so.1"
    beside = touch(tmp_path / "site" / "libVEL_KV21X.so")
    assert kv210.find_library({}, package) == beside
    inside = touch(package / "libVEL_KV21X.so.1")
    assert kv210.find_library({}, package) == inside
    explicit = touch(tmp_path / "elsewhere" / "libVEL_KV21X.so")
    assert kv210.find_library({"KV210_LIBRARY": explicit}, package) == explicit
    assert kv210.find_library({"KV210_LIBRARY": str(tmp_path / "elsewhere")}, package) == explicit
    with pytest.raises(kv210.LibraryNotFoundError, match="KV210_LIBRARY=/nowhere"):
        kv210.find_library({"KV210_LIBRARY": "/nowhere"}, package)  # no quiet fallback
    with pytest.raises(kv210.LibraryNotFoundError, match="cannot load .*libVEL_KV21X.so.1"):
        _native.load(inside)  # not a library at all
    monkeypatch.setattr(ctypes.util, "find_library", lambda name: None)
    with pytest.raises(kv210.LibraryNotFoundError) as error:
        kv210.find_library({}, tmp_path / "empty" / "kv210")
    for place in ["KV210_LIBRARY (not set)", f"{tmp_path}/empty/kv210/libVEL_KV21X.so.1",
                  f"{tmp_path}/empty/libVEL_KV21X.so", "the system's loader"]:
        assert place in str(error.value)


@pytest.mark.parametrize("value, text", [(5.0, "5"), (3.6, "3.6"), (-0.5, "-0.5"), (0.0, "0"), (1e10, "1e+10"),
                                         (123456790.0, "123456792"), (0.001, "0.001"), (0.0001, "1e-04")])
def test_numbers_are_written_as_velprobe_writes_them(value, text):
    assert json_number(value) == text


def run(*args):
    return subprocess.run([sys.executable, "-m", "kv210", *args], capture_output=True, text=True, timeout=60)


@pytest.mark.kv210_sim(fast=True, calibration_date="07/12/2")
def test_command_line_prints_identity_and_readings(kv210_sim):
    assert run("info", "--port", kv210_sim, "-m", "KV210").stdout == (
        "Firmware          1.10 07/10\nSerial number     0424K10123\nProbe name        KV210A\n"
        "Calibration date  07/12/2\n")
    assert run("-p", kv210_sim, "info", "--json").stdout == (
        '{"firmware":"1.10 07/10","serial_number":"0424K10123","name":"KV210A",'
        '"calibration_date":"07/12/2\\u0000"}\n')
    assert re.fullmatch(r"Time         \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\nBattery      3\.60  V\n"
                        r"Temperature  3\.94  °C\nTotal field  5\.000\nAxis 1       1\.000\nAxis 2       2\.000\n"
                        r"Axis 3       3\.000\n", run("read", "-p", kv210_sim).stdout)
    assert re.fullmatch(r'\{"time":"[-\d]{10}T[:\d]{8}\.\d{3}Z","battery_V":3\.6,"temperature_C":3\.9436622,'
                        r'"total_field":5,"axis1":1,"axis2":2,"axis3":3\}\n', run("read", "--json", "-p", kv210_sim).stdout)
    missing = run("info", "-p", kv210_sim + ".missing")
    assert (missing.returncode, missing.stdout) == (3, "") and "VEL_PORT_NOT_FOUND" in missing.stderr
    assert [run(*args).returncode for args in [("read",), ("info", "-p", kv210_sim, "-m", "KV2"), ("write",)]] == [2] * 3


@pytest.mark.kv210_sim(fast=True)
def test_ports_and_port_auto_ask_velprobe(kv210_sim, tmp_path, monkeypatch):
    """velprobe lists the ports (a stand-in here, so that no other port is sent a frame)."""
    velprobe = tmp_path / "velprobe"
    velprobe.write_text('#!/bin/sh\necho "$*" >> "$0.args"\ncat "$0.json"\n')
    velprobe.chmod(0o755)
    monkeypatch.setenv("KV210_VELPROBE", str(velprobe))
    answering = {"model": "KV210", "firmware": "1.10 07/10", "serial_number": "0424K10123", "model_accepted": True}
    other = {**answering, "model": "ZQ210", "model_accepted": False}
    rows = [{"device": "/dev/ttyS0", "probe": other}, {"device": kv210_sim, "probe": answering}]
    for auto_rows, status, told in [(rows, 0, f"the probe answers on {kv210_sim}"),
                                    (rows[:1], 3, "no KV21 probe answers on any port\n  /dev/ttyS0"),
                                    (rows + rows[1:], 3, "2 probes answer; choose one with --port")]:
        (tmp_path / "velprobe.json").write_text(json.dumps(auto_rows))
        auto = run("info", "-p", "auto", "-t", "80", "-m", "KV210")
        assert (auto.returncode, told in auto.stderr) == (status, True), auto.stderr
    (tmp_path / "velprobe.json").write_text(json.dumps(rows))
    assert "Serial number     0424K10123" in run("info", "-p", "auto").stdout
    assert run("--json", "ports", "--probe").stdout.startswith('[{"device": "/dev/ttyS0"')
    assert (tmp_path / "velprobe.args").read_text().splitlines()[-2:] == [
        "--model KV21 --timeout 500 --json ports --probe", "--model KV21 --timeout 500 --json ports --probe"]
    monkeypatch.setenv("KV210_VELPROBE", "")
    monkeypatch.setenv("PATH", "/nonexistent")
    assert "velprobe is not installed" in run("ports").stderr


def test_an_unknown_simulator_option_is_told_the_valid_ones():
    with pytest.raises(TypeError, match=r"unknown simulator options: temperature; .* temperature_raw, "):
        Simulator(temperature=20)
