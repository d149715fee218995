"""Helpers for the simulated-actuator tests.

``RecordingTwin``    a duck-typed twin: plain-attribute structures holding every field the
                     simulated actuator reads, and the engine's operations, each recording its
                     call in ``calls`` as ``(name, *args)`` (keyword arguments as a trailing
                     dict).  ``fake_twin(omit=(...), **fields)`` builds one without some of
                     the operations or fields (names such as "get_dtwin_version" or
                     "inp.T_ADC"), with field values overridden ("lim.lim_T": 3.0).
``ref_paths``        fixture: the reference twin's artifacts (found by model name).
``ref_twin``         fixture: a fresh ``ActuatorWrapper`` of the reference twin.
``ref_actuator``     fixture: factory ``ref_actuator(cls=KavrelActuatorVirtual, address=0x10)`` of
                     connected, started simulated actuators, each on a fresh reference twin.
                     Fixtures that bind a twin release it at teardown (terminated, its private
                     copy of the library removed), whatever the test did.
``field_names``      the structure fields the simulated actuator reads, by group.
``same_values``      equality of two sequences or dicts where NaN equals NaN and the
                     float representation must match (so -0.0 differs from 0.0).
``Proxy``            a duck-typed twin forwarding every attribute read and write to
                     the wrapped one (the generic road over the same twin).
``running``          a connected, started simulated actuator at address 0x20 on the
                     reference twin (of the given class).
"""

from __future__ import annotations

import math

import pytest

REF_MODEL = "VKL_REF_TWIN"

NOT_CONFIGURED = r"^Actuator not configured\. Call set_actuator\(\.\.\.\) first\.$"
NOT_CONNECTED = r"^Actuator not connected\. Call connect\(\) first\.$"

INFO_FIELDS = ("enable", "temp_winding", "T_fb", "T_ref", "id_fb", "id_ref", "iq_fb", "iq_ref",
               "pos_fb", "pos_ref", "spd_fb", "spd_ref", "vd_ref", "vq_ref")
MOTOR_FIELDS = ("m_Te", "m_Tl", "m_acc", "m_eff_elec", "m_eff_mec", "m_i_dc", "m_ia", "m_ib", "m_ic",
                "m_id", "m_iq", "m_pos1", "m_pos2", "m_pwr_dc", "m_pwr_elec", "m_pwr_mec", "m_spd1",
                "m_spd2", "m_va", "m_vb", "m_vc", "m_vd", "m_vq")
MEAS_FIELDS = ("turn", "turn2", "T", "e_pos", "pos", "pos2", "spd", "spd2")
INP_FIELDS = ("Enable", "ResetPos", "ControlType", "Reference", "Load", "T_ADC", "ref_ff_torque",
              "ref_impedance_spd", "ref_impedance_acel")
DEBUG_FIELDS = ("T_fb_max", "T_ref_max", "i_max", "pos_fb_max", "pos_fb_min", "pos_ref_max",
                "pos_ref_min", "spd_fb_max", "spd_ref_max", "spd_ref_min")
PID_FIELDS = ("pos_Kp", "pos_Ki", "pos_Kd", "spd_Kp", "spd_Ki", "id_Kp", "id_Ki", "FF_gain")
IMP_FIELDS = ("K_stiff", "K_damp", "T_FF", "J_imp")
LIM_FIELDS = ("lim_T", "lim_pos_max", "lim_pos_min", "lim_spd_max", "lim_spd_min", "prof_pos_max",
              "prof_pos_min", "prof_spd_max", "prof_spd_min")

field_names = {
    "info": INFO_FIELDS, "motor": MOTOR_FIELDS, "meas": MEAS_FIELDS, "inp": INP_FIELDS,
    "debug": DEBUG_FIELDS, "pid": PID_FIELDS, "imp": IMP_FIELDS, "lim": LIM_FIELDS,
}

# The 65 telemetry series: (series name, twin path or None for "time").
LOG_SERIES = (
    [(n, "info." + n) for n in INFO_FIELDS]
    + [(n, "motor." + n) for n in MOTOR_FIELDS]
    + [("meas_" + n, "meas." + n) for n in MEAS_FIELDS]
    + [("inp_ref", "inp.Reference"), ("inp_load", "inp.Load"), ("inp_t_adc", "inp.T_ADC"),
       ("inp_ref_ff_torque", "inp.ref_ff_torque"), ("inp_ref_impedance_spd", "inp.ref_impedance_spd"),
       ("inp_ref_impedance_acel", "inp.ref_impedance_acel"), ("inp_control_type", "inp.ControlType"),
       ("inp_enable", "inp.Enable"), ("inp_reset_pos", "inp.ResetPos")]
    + [("debug_" + n, "debug." + n) for n in DEBUG_FIELDS]
    + [("time", None)]
)
SERIES_NAMES = tuple(n for n, _ in LOG_SERIES)
LOG_FIELDS = SERIES_NAMES + ("TIME_STEP", "time_start")
INT_SERIES = ("meas_turn", "meas_turn2", "inp_control_type")
BOOL_SERIES = ("inp_enable", "inp_reset_pos") + tuple("debug_" + n for n in DEBUG_FIELDS)
FLOAT_SERIES = tuple(n for n in SERIES_NAMES if n not in INT_SERIES + BOOL_SERIES)


def _default(group, name):
    if group == "debug" or name in ("Enable", "ResetPos"):
        return False
    if name in ("turn", "turn2", "ControlType"):
        return 0
    return 0.0


class Proxy:
    """Forwards every attribute read and write to the wrapped twin."""

    def __init__(self, target):
        object.__setattr__(self, "_target", target)

    def __getattr__(self, name):
        return getattr(object.__getattribute__(self, "_target"), name)

    def __setattr__(self, name, value):
        setattr(object.__getattribute__(self, "_target"), name, value)


class Struct:
    """A twin structure made of plain attributes."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __repr__(self):
        return f"Struct({self.__dict__!r})"


def _missing(self):
    raise AttributeError("not offered by this twin")


class RecordingTwin:
    """A duck-typed twin that records every operation called on it.

    Stepping is simple and deterministic so that rows can be told apart: each tick counts
    ``meas.turn`` up, sets ``info.pos_fb`` to the tick count and ``info.T_fb`` to
    reference + load.
    """

    MOTOR_ON = True
    MOTOR_OFF = False

    GAINS = {"pid.spd_Kp": 1.0, "pid.spd_Ki": 0.2, "pid.id_Kp": 0.5, "pid.id_Ki": 50.0,
             "imp.K_stiff": 10.0, "imp.K_damp": 0.1, "imp.T_FF": 0.25}

    def __init__(self, omit=(), values=None):
        self.calls = []
        omitted_fields = {n for n in omit if "." in n}
        given = dict(self.GAINS, **(values or {}))
        for group, names in field_names.items():
            fields = {n: given.get(f"{group}.{n}", _default(group, n)) for n in names
                      if f"{group}.{n}" not in omitted_fields}
            setattr(self, group, Struct(**fields))
        self._initialized = False
        self._ff = 0.0
        self._cutoffs = {"speed_cutoff": math.nan, "current_cutoff": math.nan}
        for path, value in (values or {}).items():
            group, name = path.split(".")
            setattr(getattr(self, group), name, value)

    def _rec(self, name, *args, **kwargs):
        self.calls.append((name, *args, kwargs) if kwargs else (name, *args))

    def names(self):
        return [c[0] for c in self.calls]

    # lifecycle
    def initialize(self, mode=7):
        self._rec("initialize", mode)
        self._initialized = True
        self.inp.ControlType = mode

    def step(self, ref_value, load=0.0):
        self._rec("step", ref_value, load)
        self.inp.Reference = ref_value
        self.inp.Load = load
        self.meas.turn += 1
        self.info.pos_fb = float(self.meas.turn)
        self.info.T_fb = ref_value + load

    def terminate(self):
        self._rec("terminate")
        self._initialized = False

    def set_home_position(self):
        self._rec("set_home_position")

    # accessors
    def set_address(self, address):
        self._rec("set_address", address)

    def set_control_type(self, control_type):
        self._rec("set_control_type", control_type)
        self.inp.ControlType = control_type

    def set_enable(self, enable):
        self._rec("set_enable", enable)
        self.inp.Enable = bool(enable)

    def get_speed_gains(self):
        self._rec("get_speed_gains")
        return (self.pid.spd_Kp, self.pid.spd_Ki)

    def set_speed_gains(self, kp, ki):
        self._rec("set_speed_gains", kp, ki)
        self.pid.spd_Kp, self.pid.spd_Ki = kp, ki

    def get_current_gains(self):
        self._rec("get_current_gains")
        return (self.pid.id_Kp, self.pid.id_Ki)

    def set_current_gains(self, kp, ki):
        self._rec("set_current_gains", kp, ki)
        self.pid.id_Kp, self.pid.id_Ki = kp, ki

    def set_position_kp(self, kp):
        self._rec("set_position_kp", kp)
        self.pid.pos_Kp = kp

    def set_torque_feedforward(self, t_ff):
        self._rec("set_torque_feedforward", t_ff)
        self.imp.T_FF = t_ff

    def get_impedance_gains(self):
        self._rec("get_impedance_gains")
        return {"k_stiff": self.imp.K_stiff, "k_damp": self.imp.K_damp, "t_ff": self.imp.T_FF,
                "j_imp": getattr(self.imp, "J_imp", math.nan)}

    def set_impedance_gains(self, k_stiff, k_damp, t_ff=0.0):
        self._rec("set_impedance_gains", k_stiff, k_damp, t_ff)
        self.imp.K_stiff, self.imp.K_damp, self.imp.T_FF = k_stiff, k_damp, t_ff

    def set_impedance_inertia(self, j_imp):
        self._rec("set_impedance_inertia", j_imp)

    def set_impedance_references(self, speed_reference=None, acceleration_reference=None):
        self._rec("set_impedance_references", speed_reference, acceleration_reference)

    def set_feedforward_gain(self, gain):
        self._rec("set_feedforward_gain", gain)
        self._ff = gain

    def get_feedforward_gain(self):
        self._rec("get_feedforward_gain")
        return self._ff

    def set_filter_cutoffs(self, speed_cutoff=None, current_cutoff=None):
        self._rec("set_filter_cutoffs", speed_cutoff=speed_cutoff, current_cutoff=current_cutoff)
        if speed_cutoff is not None:
            self._cutoffs["speed_cutoff"] = speed_cutoff
        if current_cutoff is not None:
            self._cutoffs["current_cutoff"] = current_cutoff

    def get_filter_cutoffs(self):
        self._rec("get_filter_cutoffs")
        return dict(self._cutoffs)

    # identity and time step
    def get_motor_model(self):
        self._rec("get_motor_model")
        return "FAKE_MOTOR"

    def get_dtwin_version(self):
        self._rec("get_dtwin_version")
        return "fake-version"

    def get_submodule_commits(self):
        self._rec("get_submodule_commits")
        return "fake-commits"

    def get_sim_time_step_s(self):
        self._rec("get_sim_time_step_s")
        return 5e-05


def fake_twin(omit=(), values=None, **class_attrs):
    """A RecordingTwin without the operations named in ``omit`` (absent for hasattr) and
    without the fields named there as "group.field"; ``class_attrs`` replace operations."""
    ops = {n: property(_missing) for n in omit if "." not in n}
    ops.update(class_attrs)
    cls = type("FakeTwin", (RecordingTwin,), ops) if ops else RecordingTwin
    return cls(omit=omit, values=values)


class NoFlagTwin(RecordingTwin):
    """A twin object without an ``_initialized`` attribute at all."""

    def __init__(self, *a, **k):
        super().__init__(*a, **k)
        del self._initialized

    def initialize(self, mode=7):
        self._rec("initialize", mode)

    def terminate(self):
        self._rec("terminate")


def _norm(v):
    if isinstance(v, float) and math.isnan(v):
        return "nan"
    return repr(v)


def same_values(a, b):
    """Exact equality of two sequences (or dicts) of numbers, NaN equal to NaN."""
    if isinstance(a, dict):
        return list(a) == list(b) and [_norm(v) for v in a.values()] == [_norm(v) for v in b.values()]
    return [_norm(v) for v in a] == [_norm(v) for v in b]


def log_rows(log):
    """The log's series as plain lists, by name."""
    return {n: list(getattr(log, n)) for n in SERIES_NAMES}


def logs_identical(a, b):
    """Every series of two logs equal element by element (types and NaN included)."""
    ra, rb = log_rows(a), log_rows(b)
    for n in SERIES_NAMES:
        if [(type(v), _norm(v)) for v in ra[n]] != [(type(v), _norm(v)) for v in rb[n]]:
            return n
    return None


def running(cls=None):
    from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual

    act = (cls or KavrelActuatorVirtual)(address=0x20)
    act.set_actuator(REF_MODEL)
    act.connect()
    act.start()
    return act


@pytest.fixture(scope="session")
def ref_paths():
    """Library and bindings paths of the reference twin, found by model name."""
    from vkl_api._twin_catalog import resolve_dtwin_artifacts

    return resolve_dtwin_artifacts(REF_MODEL)


@pytest.fixture
def ref_twin(ref_paths, wrappers):
    return wrappers(ref_paths.library, ref_paths.py_bindings)


@pytest.fixture
def ref_actuator(ref_paths, wrappers):
    from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual

    def make(cls=KavrelActuatorVirtual, address=0x10):
        a = cls(wrappers(ref_paths.library, ref_paths.py_bindings), address)
        a.connect()
        a.start()
        return a

    return make


@pytest.fixture
def twin():
    """A recording fake twin."""
    return RecordingTwin()


@pytest.fixture
def act(twin):
    """A simulated actuator on the recording fake twin."""
    from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual

    return KavrelActuatorVirtual(twin)
