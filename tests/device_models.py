"""Device models and test rigs for the physical actuator, played on the emulator's line.

``Actuator(address, ...)``   responder for ``Emulator.add_device``: answers PING with a
                             BEACON record, GET_PARAMETERS with a PARAMETERS record list of
                             the ids it knows (in the order asked), GET_ITEMS with a feedback
                             message sent with the priority bit set; stores SET_PARAMETERS
                             values.  ``silent`` holds action ids it does not answer;
                             ``received`` every payload it got.
``CanAdapter()``             the device at address 0 of a USB-to-CAN adapter.
``RecordingTransport``       ``VklOverUsb`` that also records every ``send_VKL`` call
                             (address, payload object, keywords, thread) before sending,
                             and counts ``close`` calls.
``NullTransport(result=True)``  a transport with no line: keeps the callbacks registered
                             with it and every ``send_VKL`` call in ``sends`` as
                             ``(address, data, keywords)``, and answers ``result`` (an
                             exception instance is raised instead); ``_port`` is None.
``FakeClock``                replacement for the module's ``time``/``sleep``: sleeping
                             advances the clock without waiting, unless ``hold()`` says to
                             wait (then it sleeps for real and the clock stands still).
``clock`` fixture            a ``FakeClock`` installed in ``kavrel_actuator_real``.
``rig`` fixture              emulator + recording transport + one emulated actuator at 0x10 +
                             a ``KavrelActuatorReal`` for it.
``wait_until``               the suite's polling wait (from ``conftest``).

Encoding helpers: ``f32``/``u32``/``i32``/``u16`` (little-endian byte lists), ``single`` (the
value after a round trip through single precision), ``item_record``, ``parameter_record``,
``beacon``, ``pack_firmware``.
"""

from __future__ import annotations

import struct
import threading
import time as _time
from types import SimpleNamespace

import pytest

from conftest import wait_until  # noqa: F401 - re-exported
from vkl_api import kavrel_actuator_real as _kar
from vkl_api.kavrel_actuator_real import KavrelActuatorReal
from vkl_api.vkl_over_usb import VklOverUsb

Actions = KavrelActuatorReal._VKL_Actions
Items = KavrelActuatorReal.VKL_Items
Params = KavrelActuatorReal.VKL_Parameters
Mode = KavrelActuatorReal.Mode

PING = Actions.PING.value
STOP = Actions.STOP.value
GET_ITEMS = Actions.GET_ITEMS.value
GET_PARAMETERS = Actions.GET_PARAMETERS.value
SET_PARAMETERS = Actions.SET_PARAMETERS.value
BEACON = KavrelActuatorReal._VKL_Other.BEACON.value
ERRORS = KavrelActuatorReal._VKL_Other.ERRORS.value
PARAMETERS = KavrelActuatorReal._VKL_Other.PARAMETERS.value

UNSIGNED_ITEMS = {66, 68, 96, 97, 98, 144}
SIGNED_ITEMS = {74}
UNSIGNED_PARAMETERS = {128, 130, 131, 132}
MODE_ID = 48

CAN_ADAPTER_CODE = 5
VK50_CODE = 2


def f32(x) -> list:
    return list(struct.pack("<f", x))


def u32(x) -> list:
    return list(struct.pack("<I", x))


def i32(x) -> list:
    return list(struct.pack("<i", x))


def u16(x) -> list:
    return list(struct.pack("<H", x))


def single(x) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


def pack_firmware(major: int, minor: int, patch: int) -> int:
    return (major << 11) | (minor << 6) | patch


def beacon(model_code: int, firmware: int) -> list:
    return [BEACON, *u16(model_code), *u16(firmware)]


def item_record(item_id: int, value) -> list:
    if item_id in UNSIGNED_ITEMS:
        return [item_id, *u32(value)]
    if item_id in SIGNED_ITEMS:
        return [item_id, *i32(value)]
    return [item_id, *f32(value)]


def parameter_record(pid: int, value) -> list:
    if pid in UNSIGNED_PARAMETERS:
        return [pid, *u32(value)]
    return [pid, *f32(value)]


class Actuator:
    def __init__(self, address: int, model_code: int = VK50_CODE, firmware=(1, 2, 3), parameters=None,
                 items=None, silent=()):
        self.address = address
        self.model_code = model_code
        self.firmware = pack_firmware(*firmware)
        self.parameters = dict(parameters or {})   # id -> value
        self.items = dict(items or {})             # id -> value
        self.silent = set(silent)
        self.received = []
        self._lock = threading.Lock()

    def payloads(self, action=None):
        with self._lock:
            return [p for p in self.received if action is None or (p and p[0] == action)]

    def __call__(self, frame):
        payload = list(frame.payload)
        with self._lock:
            self.received.append(payload)
        if not payload or payload[0] in self.silent:
            return None
        action = payload[0]
        if action == PING:
            return [(self.address, beacon(self.model_code, self.firmware))]
        if action == GET_PARAMETERS:
            reply = [PARAMETERS]
            for pid in payload[1:]:
                if pid in self.parameters:
                    reply += parameter_record(pid, self.parameters[pid])
            return [(self.address, reply)] if len(reply) > 1 else None
        if action == GET_ITEMS:
            reply = []
            for iid in payload[1:]:
                if iid in self.items:
                    reply += item_record(iid, self.items[iid])
            return [(self.address, reply, True)] if reply else None
        if action == SET_PARAMETERS:
            body = payload[1:]
            for k in range(0, len(body) - 4, 5):
                self.parameters[body[k]] = struct.unpack("<f", bytes(body[k + 1:k + 5]))[0]
        return None


class CanAdapter(Actuator):
    def __init__(self, model_code: int = CAN_ADAPTER_CODE, firmware=(2, 0, 1), **kw):
        super().__init__(0, model_code=model_code, firmware=firmware, **kw)


class RecordingTransport(VklOverUsb):
    """Records each send on the calling thread, then sends it for real."""

    def __init__(self, *args, **kwargs):
        self.sent = []
        self.closed = 0
        super().__init__(*args, **kwargs)

    def close(self):
        self.closed += 1
        return super().close()

    def send_VKL(self, address, data, *args, **kwargs):
        self.sent.append(SimpleNamespace(address=address, data=data, copy=list(data), args=args,
                                         kwargs=kwargs, thread=threading.current_thread()))
        return super().send_VKL(address, data, *args, **kwargs)

    def payloads(self):
        return [s.copy for s in self.sent]


class FakeClock:
    """Wall clock for the module's waiting loops that moves only when they sleep."""

    def __init__(self, start: float = 1000.0, hold=None, real_cap: float = 5.0):
        self.now = start
        self.sleeps = []
        self.hold = hold
        self.real_cap = real_cap
        self._real_waited = 0.0
        self.on_sleep = None

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if self.on_sleep is not None:
            self.on_sleep(seconds)
        if self.hold is not None and self.hold() and self._real_waited < self.real_cap:
            _time.sleep(seconds)
            self._real_waited += seconds
            return
        self.now += seconds

    def install(self, monkeypatch, module):
        monkeypatch.setattr(module, "time", self.time)
        monkeypatch.setattr(module, "sleep", self.sleep)
        return self


class NullTransport:
    """A transport without a line."""

    _port = None

    def __init__(self, result=True):
        self.callbacks = {}
        self.sends = []
        self.result = result

    def set_callback(self, address, callback):
        self.callbacks[address] = callback

    def remove_callback(self, address):
        self.callbacks.pop(address, None)

    def send_VKL(self, address, data, **kwargs):
        self.sends.append((address, data, kwargs))
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.fixture
def clock(monkeypatch):
    return FakeClock().install(monkeypatch, _kar)


@pytest.fixture
def rig(emulator, make_transport):
    transport = make_transport(emulator, cls=RecordingTransport)
    assert transport.is_connected
    device = Actuator(0x10)
    emulator.add_device(0x10, device)
    actuator = KavrelActuatorReal(transport, 0x10)
    return SimpleNamespace(emu=emulator, transport=transport, device=device, actuator=actuator)
