"""The kv210 package against kv210-sim, through the package's own kv210_sim fixture."""

import os
import re
import threading
from datetime import datetime, timedelta, timezone
from decimal import Decimal

import pytest

import kv210
from kv210.testing import Simulator

FAST = pytest.mark.kv210_sim(fast=True)


def descriptors():
    return sorted(os.listdir("/proc/self/fd"))


# Paced: every call of a script follows the one before while the line still carries its tail.
@pytest.mark.kv210_sim(release="2.05", date="11/26", serial="0424K10999", name="Ké21 ", calibration_date="01/02/2",
                       battery_raw=1024, temperature_raw=-1, total_field=7.5, axis=(0.5, 1.25, 2))
def test_identity_and_readings_as_the_probe_sends_them(kv210_sim):
    with kv210.Probe(kv210_sim) as probe:
        # Latin-1 byte for byte (the simulator sends "é" as two UTF-8 bytes), padding kept.
        expected = kv210.Identity("2.05 11/26", "0424K10999", "KÃ©21 ", "KÃ©21 ", "01/02/2\0")
        assert probe.identity() == expected
        assert (probe.firmware, probe.serial_number, probe.name, probe.calibration_date) == (
            "2.05 11/26", "0424K10999", "KÃ©21 ", "01/02/2\0")
        assert expected.stripped() == kv210.Identity("2.05 11/26", "0424K10999", "KÃ©21", "KÃ©21", "01/02/2")
        # raw 1024 -> 4.8 V; raw -1 (0xFFFF, signed) -> about -278.19 degrees
        assert (probe.battery(), probe.temperature(), probe.total_field()) == (4.8, -278.18665, 7.5)
        assert probe.axes() == kv210.Axes(0.5, 1.25, 2.0) == (0.5, 1.25, 2.0)
        before = datetime.now(timezone.utc)
        reading = probe.read()
        assert before <= reading.time <= before + timedelta(seconds=2)
        assert (reading.battery, reading.total_field, reading.axes.axis2) == (4.8, 7.5, 1.25)
        assert re.fullmatch(r'\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z","battery_V":4\.8,'
                            r'"temperature_C":-278\.18665,"total_field":7\.5,"axis1":0\.5,"axis2":1\.25,"axis3":2}',
                            reading.to_json())
    assert probe.closed
    assert kv210_sim.frames() == ["#00?v*", "#00?P*", "#00?v*", "#00?s*", "#00?v*", "#00?s*", "#00?b*", "#00?t*",
                                  "#00?T*", "#00?A*", "#00?b*", "#00?t*", "#00?T*", "#00?A*"]


@FAST
def test_settings_go_out_exactly_as_velprobe_sends_them(kv210_sim):
    with kv210.Probe(os.fsencode(kv210_sim)) as probe:  # a port named in bytes, as os.listdir(b"/dev") gives
        for value, frame in [(0.29, "#00k 29*"), ("0.29", "#00k 29*"), (Decimal("0.29"), "#00k 29*"),
                             (1.23, "#00k 123*"), ("1.23", "#00k 123*"), (Decimal("1.230"), "#00k 123*"),
                             ("99999.99", "#00k 9999999*"), (5, "#00k 500*"), (".5", "#00k 50*")]:
            assert probe.set_frequency(value) == int(frame[5:-1])
            assert kv210_sim.frames()[-1] == frame
        probe.set_filter(7)
        probe.set_auto_off(10800)
        assert kv210_sim.frames()[-2:] == ["#00f7*", "#00e 10800*"]
        sent = len(kv210_sim.frames())
        for call, value, error in [
                (probe.set_frequency, "1.234", ValueError), (probe.set_frequency, "-1", ValueError),
                (probe.set_frequency, "1,5", ValueError), (probe.set_frequency, "", ValueError),
                (probe.set_frequency, 100000, ValueError), (probe.set_frequency, float("nan"), ValueError),
                (probe.set_frequency, 0.1 + 0.2, ValueError), (probe.set_frequency, "١", ValueError),
                (probe.set_frequency, True, TypeError), (probe.set_frequency, None, TypeError),
                (probe.set_filter, 8, kv210.SettingError), (probe.set_filter, -1, kv210.SettingError),
                (probe.set_auto_off, 10801, kv210.SettingError), (probe.set_filter, 2**40, kv210.SettingError),
                (probe.set_auto_off, -2**40, kv210.SettingError), (probe.set_auto_off, 1.5, TypeError),
                (lambda t: kv210.Probe(kv210_sim, timeout=t), float("inf"), ValueError),
                (lambda t: kv210.Probe(kv210_sim, timeout=t), float("nan"), ValueError),
                (kv210.Probe, 3, TypeError)]:
            with pytest.raises(error):
                call(value)
        assert len(kv210_sim.frames()) == sent
    with pytest.raises(ValueError, match="closed"):
        probe.battery()
    with pytest.raises(ValueError, match="NUL"):
        kv210.Probe(kv210_sim + "\0.missing")  # would open the simulator's device
    probe.close()  # twice is fine


def in_probe(action):
    def run(device):
        with kv210.Probe(device) as probe:
            action(probe)
    return run


def open_twice(device):
    with kv210.Probe(device):
        kv210.Probe(device)


@pytest.mark.parametrize("kv210_sim, action, error, code", [
    ({"fast": True}, lambda device: kv210.Probe(device + ".missing"), kv210.PortNotFoundError, 2),
    ({"fast": True}, open_twice, kv210.PortAccessError, 7),
    ({"fast": True}, lambda device: kv210.Probe("/dev/null"), kv210.PortError, 9),
    ({"model": "KV310"}, kv210.Probe, kv210.WrongModelError, 14),
    ({"faults": ["v:silence"]}, kv210.Probe, kv210.ProbeTimeoutError, 8),
    ({"faults": ["b:wrong-letter"]}, in_probe(lambda p: p.battery()), kv210.ReplyError, 4),
    ({"faults": ["f:wrong-letter"]}, in_probe(lambda p: p.set_filter(1)), kv210.NotConfirmedError, 13),
    ({"fast": True, "frequency_echo": 1.22}, in_probe(lambda p: p.set_frequency("1.23")), kv210.NotConfirmedError, 13),
    ({"fast": True}, in_probe(lambda p: p.set_filter(8)), kv210.SettingError, 6),
    ({"fast": True, "total_field": 200.01}, in_probe(lambda p: p.total_field()), kv210.OverRangeError, 15),
    ({"fast": True, "axis": (300, -2, 3)}, in_probe(lambda p: p.axes()), kv210.InvalidValueError, 16),
    ({"faults": ["A:hang-up"]}, in_probe(lambda p: p.read()), kv210.PortError, 11),
], indirect=["kv210_sim"])
def test_each_failure_raises_its_exception_and_leaves_no_descriptor(kv210_sim, action, error, code):
    before = descriptors()
    with pytest.raises(kv210.Kv210Error) as raised:
        action(kv210_sim)
    assert (type(raised.value), raised.value.code) == (error, code)
    assert raised.value.call in str(raised.value) and raised.value.call.startswith("VEL_")
    assert descriptors() == before
    assert isinstance(raised.value, TimeoutError) == (code == 8)
    assert isinstance(raised.value, ValueError) == (code == 6)


def test_each_probe_keeps_its_own_identity_and_calls_are_serialised():
    with Simulator(fast=True, name="FIRST1") as first, Simulator(fast=True, name="SECOND", axis=(4, 5, 6)) as second:
        with kv210.Probe(first) as a, kv210.Probe(second, timeout=2) as b:
            assert (a.name, b.name, a.model, b.model) == ("FIRST1", "SECOND", "FIRST1", "SECOND")
            results = []

            def hammer(probe):  # two threads on each probe
                try:
                    results.extend((probe.axes(), probe.battery()) for _ in range(20))
                except kv210.Kv210Error as error:
                    results.append(error)
            threads = [threading.Thread(target=hammer, args=(probe,)) for probe in (a, b, a, b)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            assert sorted(results, key=str) == [((1, 2, 3), 3.6)] * 40 + [((4, 5, 6), 3.6)] * 40
