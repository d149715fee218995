"""Smoke tests of the simulated actuator on the reference twin.

Native against generic stepping is tested in test_virtual_twin_variants.py.
"""

import pytest

from vkl_api import _twin_engine
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog
from virtual_support import running

ITEMS = KavrelActuatorVirtual.VKL_Items


@pytest.mark.parametrize("where", ["engine class", "twin instance", "log class", "actuator class"])
def test_replaced_operations_are_called_for_every_tick(monkeypatch, where):
    from vkl_api import kavrel_actuator_virtual as mod

    act = running()
    calls = []
    if where == "engine class":
        orig = _twin_engine.ActuatorWrapper.step
        monkeypatch.setattr(_twin_engine.ActuatorWrapper, "step",
                            lambda self, ref, load=0.0: (calls.append(ref), orig(self, ref, load)))
    elif where == "twin instance":
        orig = act.actuator.step
        act.actuator.step = lambda ref, load=0.0: (calls.append(ref), orig(ref, load))
    elif where == "log class":
        orig = mod.VirtualActuatorLog._append
        monkeypatch.setattr(mod.VirtualActuatorLog, "_append", lambda self, a: (calls.append(a), orig(self, a)))
    else:
        orig = KavrelActuatorVirtual._build_feedback_snapshot
        monkeypatch.setattr(KavrelActuatorVirtual, "_build_feedback_snapshot",
                            lambda self: (calls.append(1), orig(self))[1])
    act.step(steps=7)
    assert len(calls) == 7 and len(act.telemetry_log.time) == 7 and act._simulation_step_count == 7
