"""ctypes bindings of the VKL_REF_TWIN digital twin (reference actuator model).

Declares the structures of vkl_ref_twin.c and the library's functions as
prototypes.  The loader that imports this file points every function at the
library copy it loaded (by symbol name) and sets ``_dll`` to that copy; until
then the functions are unbound and must not be called.
"""

import ctypes


class Inports_type(ctypes.Structure):
    _fields_ = [
        ("Enable", ctypes.c_bool),
        ("ResetPos", ctypes.c_bool),
        ("ControlType", ctypes.c_int32),
        ("Reference", ctypes.c_double),
        ("Load", ctypes.c_double),
        ("T_ADC", ctypes.c_double),
        ("ref_ff_torque", ctypes.c_double),
        ("ref_impedance_spd", ctypes.c_double),
        ("ref_impedance_acel", ctypes.c_double),
    ]


class PID_type(ctypes.Structure):
    _fields_ = [
        ("pos_Kp", ctypes.c_double),
        ("pos_Ki", ctypes.c_double),
        ("pos_Kd", ctypes.c_double),
        ("spd_Kp", ctypes.c_double),
        ("spd_Ki", ctypes.c_double),
        ("id_Kp", ctypes.c_double),
        ("id_Ki", ctypes.c_double),
        ("FF_gain", ctypes.c_double),
    ]


class Impedance_type(ctypes.Structure):
    _fields_ = [
        ("K_stiff", ctypes.c_double),
        ("K_damp", ctypes.c_double),
        ("T_FF", ctypes.c_double),
        ("J_imp", ctypes.c_double),
    ]


class Lim_type(ctypes.Structure):
    _fields_ = [
        ("lim_T", ctypes.c_double),
        ("lim_pos_max", ctypes.c_double),
        ("lim_pos_min", ctypes.c_double),
        ("lim_spd_max", ctypes.c_double),
        ("lim_spd_min", ctypes.c_double),
        ("prof_pos_max", ctypes.c_double),
        ("prof_pos_min", ctypes.c_double),
        ("prof_spd_max", ctypes.c_double),
        ("prof_spd_min", ctypes.c_double),
    ]


class Info_type(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_double)
        for name in (
            "enable", "temp_winding", "T_fb", "T_ref", "id_fb", "id_ref", "iq_fb", "iq_ref",
            "pos_fb", "pos_ref", "spd_fb", "spd_ref", "vd_ref", "vq_ref",
        )
    ]


class Meas_type(ctypes.Structure):
    _fields_ = [
        ("turn", ctypes.c_int32),
        ("turn2", ctypes.c_int32),
        ("T", ctypes.c_double),
        ("e_pos", ctypes.c_double),
        ("pos", ctypes.c_double),
        ("pos2", ctypes.c_double),
        ("spd", ctypes.c_double),
        ("spd2", ctypes.c_double),
    ]


class Motor_type(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_double)
        for name in (
            "m_Te", "m_Tl", "m_acc", "m_eff_elec", "m_eff_mec", "m_i_dc", "m_ia", "m_ib", "m_ic",
            "m_id", "m_iq", "m_pos1", "m_pos2", "m_pwr_dc", "m_pwr_elec", "m_pwr_mec", "m_spd1",
            "m_spd2", "m_va", "m_vb", "m_vc", "m_vd", "m_vq",
        )
    ]


class Debug_type(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_bool)
        for name in (
            "T_fb_max", "T_ref_max", "i_max", "pos_fb_max", "pos_fb_min", "pos_ref_max",
            "pos_ref_min", "spd_fb_max", "spd_ref_max", "spd_ref_min",
        )
    ]


class Filter_type(ctypes.Structure):
    _fields_ = [
        ("spd_cutoff", ctypes.c_double),
        ("current_cutoff", ctypes.c_double),
    ]


class B_DT_T(ctypes.Structure):
    _fields_ = [("Te", ctypes.c_double), ("vd", ctypes.c_double), ("vq", ctypes.c_double)]


class DW_DT_T(ctypes.Structure):
    _fields_ = [("steps", ctypes.c_uint64)]


class PrevZCX_DT_T(ctypes.Structure):
    _fields_ = [("ResetPos_ZCE", ctypes.c_uint8)]


class RT_MODEL_DT_T(ctypes.Structure):
    _fields_ = [
        ("blockIO", ctypes.POINTER(B_DT_T)),
        ("dwork", ctypes.POINTER(DW_DT_T)),
        ("prevZCSigState", ctypes.POINTER(PrevZCX_DT_T)),
        ("errorStatus", ctypes.POINTER(ctypes.c_char)),
    ]


_model_fn = ctypes.CFUNCTYPE(None, ctypes.POINTER(RT_MODEL_DT_T))

DT_initialize = _model_fn()
DT_step = _model_fn()
DT_terminate = _model_fn()

get_inports_ptr = ctypes.CFUNCTYPE(ctypes.POINTER(Inports_type))()
get_pid_ptr = ctypes.CFUNCTYPE(ctypes.POINTER(PID_type))()
get_impedance_ptr = ctypes.CFUNCTYPE(ctypes.POINTER(Impedance_type))()
get_lim_ptr = ctypes.CFUNCTYPE(ctypes.POINTER(Lim_type))()
get_info_ptr = ctypes.CFUNCTYPE(ctypes.POINTER(Info_type))()
get_meas_ptr = ctypes.CFUNCTYPE(ctypes.POINTER(Meas_type))()
get_motor_ptr = ctypes.CFUNCTYPE(ctypes.POINTER(Motor_type))()
get_debug_ptr = ctypes.CFUNCTYPE(ctypes.POINTER(Debug_type))()
