"""Device behaviour for the command-line tests, played on the emulator's line.

``Device(address, model_code, firmware, parameters=..., answer_parameters=True)`` is the
emulated actuator of ``device_models`` (``Actuator``) with the command-line tests' way of
saying that a device leaves parameter reads unanswered: it answers PING with a BEACON
record (device-model code and packed firmware version) and GET_PARAMETERS with a
PARAMETERS record list holding the requested ids it knows, in the order asked.  Every
command it receives is kept in ``received``.
"""

from __future__ import annotations

from device_models import Actuator, pack_firmware, parameter_record  # noqa: F401 - re-exported

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

encode_parameter = parameter_record


def firmware_text(firmware) -> str:
    return ".".join(str(n) for n in firmware)


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


class Device(Actuator):
    def __init__(self, address: int, model_code: int = VK50, firmware=(1, 2, 3), parameters=None,
                 answer_parameters: bool = True):
        super().__init__(address, model_code=model_code, firmware=firmware, parameters=parameters,
                         silent=() if answer_parameters else (GET_PARAMETERS,))
