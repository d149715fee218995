"""Device behaviour for the command-line tests, played on the emulator's line.

``Device(address, model_code, firmware, parameters=..., answer_parameters=True)``
is a responder for ``Emulator.add_device``: it answers PING with a BEACON
record (device-model code and packed firmware version) and GET_PARAMETERS
with a PARAMETERS record list holding the requested ids it knows, in the
order asked.  Every command it receives is kept in ``received``.
"""

from __future__ import annotations

import struct

PING = 64
BLINK = 65
SET_HOME = 10
STOP = 2
GET_PARAMETERS = 12
BEACON = 128
PARAMETERS = 131

# Device-model codes (index into MODELS_NAMES).
VK40 = 1
VK50 = 2
CAN_ADAPTER = 5

# Parameters read back as unsigned 32-bit integers; MODE carries a float mode code.
UINT_PARAMETERS = {128, 130, 131, 132}
MODE = 48


def pack_firmware(major: int, minor: int, patch: int) -> int:
    return (major << 11) | (minor << 6) | patch


def firmware_text(firmware) -> str:
    return ".".join(str(n) for n in firmware)


def encode_parameter(pid: int, value) -> list:
    if pid in UINT_PARAMETERS:
        raw = struct.pack("<I", value)
    else:
        raw = struct.pack("<f", value)
    return [pid, *raw]


def default_parameters(vkl_parameters) -> dict:
    """A value for every parameter the vocabulary knows: exact single-precision
    floats, integers for the identity parameters, POSITION (7) for MODE."""
    values = {}
    for i, member in enumerate(vkl_parameters):
        pid = member.value
        if pid in UINT_PARAMETERS:
            values[pid] = 1000 + i
        elif pid == MODE:
            values[pid] = 7.0
        else:
            values[pid] = i * 0.25 - 2.0
    return values


class Device:
    def __init__(self, address: int, model_code: int = VK50, firmware=(1, 2, 3), parameters=None,
                 answer_parameters: bool = True):
        self.address = address
        self.model_code = model_code
        self.firmware = firmware
        self.parameters = dict(parameters or {})
        self.answer_parameters = answer_parameters
        self.received = []

    def beacon(self) -> list:
        fw = pack_firmware(*self.firmware)
        return [BEACON, self.model_code & 0xFF, self.model_code >> 8, fw & 0xFF, fw >> 8]

    def __call__(self, frame):
        self.received.append(list(frame.payload))
        payload = frame.payload
        if payload == [PING]:
            return [(self.address, self.beacon())]
        if payload and payload[0] == GET_PARAMETERS and self.answer_parameters:
            reply = [PARAMETERS]
            for pid in payload[1:]:
                if pid in self.parameters:
                    reply += encode_parameter(pid, self.parameters[pid])
            if len(reply) > 1:
                return [(self.address, reply)]
        return None
