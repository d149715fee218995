"""Build digital-twin variants for tests: a shared library compiled with gcc
from the reference twin's C source (twins/vkl_ref_twin.c) plus a generated
ctypes bindings file, named as the catalog expects.

Main entry::

    lib_path, bindings_path = build_twin(tmp_dir, model="X", **options)

writes ``lib<model>_<target>.so`` and ``bindings_<model>_<target>.py`` into
``tmp_dir`` (a str or Path; created if missing) and returns both paths as
``pathlib.Path``.  ``target`` defaults to the running platform's first artifact
target (``vkl_api._twin_catalog.platform_artifact_targets()[0]``), so
``resolve_dtwin_artifacts(model, tmp_dir)`` finds the pair.

Options (all keyword-only):

- ``time_step_s``: the model's step in seconds (default 5e-05).
- ``export_time_step``: the library exports ``get_sim_time_step_s()``
  returning ``time_step_s``.
- ``optional_fields``: with False, the structures lack the optional fields
  (``inp.T_ADC``, ``inp.ref_ff_torque``, ``inp.ref_impedance_spd``,
  ``inp.ref_impedance_acel``, ``pid.pos_Ki``, ``pid.pos_Kd``, ``pid.FF_gain``,
  ``imp.J_imp``), in the library and in the bindings.
- ``filter_global``: with False, no ``Filter`` symbol; ``filter_type``
  (default True) controls whether the bindings declare ``Filter_type``.
- ``motor_model``, ``submodule_commits``: text (str or bytes) of the library's
  MOTOR_MODEL / SUBMODULE_COMMITS symbols; None leaves the symbol out.
  Defaults: the reference twin's texts.
- ``omit_symbols``: names of library functions not exported (the bindings
  still declare them).
- ``null_getters``: names of structure getters (e.g. "get_debug_ptr") that
  return a null pointer.
- ``extra_c``: C source appended to the library (may use DT_EXPORT).
- ``step_hook``: with True, the library also exports
  ``DT_set_step_hook(void (*)(void))``; DT_step then calls the installed hook
  (if any) after the model has advanced, so foreign code runs Python in the
  middle of a tick (install a ``ctypes.CFUNCTYPE(None)`` through
  ``wrapper._lib._dll``).
- ``field_types``: {"Struct_type.field": "ctypes expression"} overrides of
  the declared ctypes type of a field in the bindings (must keep the layout,
  e.g. a subclass of ctypes.c_double defined in ``bindings_prelude``).
- ``c_types``: {role: ctypes scalar name} declares fields of the library and of
  the bindings with other C types (same values, another layout): roles
  ``enable`` (inp.Enable, inp.ResetPos), ``control`` (inp.ControlType),
  ``turn`` (meas.turn, meas.turn2), ``flag`` (the debug flags), ``real`` (the
  real fields of inp, info, meas and motor); names as in ``C_TYPES``.
- ``bindings_prelude``: Python source placed after ``import ctypes``.
- ``bindings_append``: Python source appended to the bindings.
- ``bindings_text``: complete bindings source, replacing the generated one.
- ``bindings_name``: file name of the bindings (default
  ``bindings_<model>_<target>.py``).
- ``target``: artifact target name used in both file names.

Compiled libraries are cached per process by source and options (in a
temporary directory removed at exit), so building the same variant twice
costs one compilation.

Also: ``SCALAR_VARIANTS`` (named option sets of plain-scalar variants),
``STRUCTURES`` (structure name -> list of (field, ctypes type name,
optional?)), ``GROUP_TYPES`` (wrapper attribute -> structure name),
``generate_bindings(...)``, ``platform_target()`` and ``ref_twin_source()``.
"""

from __future__ import annotations

import atexit
import hashlib
import os
import pathlib
import shutil
import subprocess
import tempfile

REPO_ROOT = pathlib.Path(__file__).resolve().parent.parent
TWIN_SOURCE = REPO_ROOT / "twins" / "vkl_ref_twin.c"

# Structure layouts of twins/vkl_ref_twin.c: (field, ctypes type, optional).
_D = "c_double"
STRUCTURES: dict[str, list[tuple[str, str, bool]]] = {
    "Inports_type": [
        ("Enable", "c_bool", False), ("ResetPos", "c_bool", False), ("ControlType", "c_int32", False),
        ("Reference", _D, False), ("Load", _D, False), ("T_ADC", _D, True),
        ("ref_ff_torque", _D, True), ("ref_impedance_spd", _D, True), ("ref_impedance_acel", _D, True),
    ],
    "PID_type": [
        ("pos_Kp", _D, False), ("pos_Ki", _D, True), ("pos_Kd", _D, True), ("spd_Kp", _D, False),
        ("spd_Ki", _D, False), ("id_Kp", _D, False), ("id_Ki", _D, False), ("FF_gain", _D, True),
    ],
    "Impedance_type": [("K_stiff", _D, False), ("K_damp", _D, False), ("T_FF", _D, False), ("J_imp", _D, True)],
    "Lim_type": [(n, _D, False) for n in (
        "lim_T", "lim_pos_max", "lim_pos_min", "lim_spd_max", "lim_spd_min",
        "prof_pos_max", "prof_pos_min", "prof_spd_max", "prof_spd_min")],
    "Info_type": [(n, _D, False) for n in (
        "enable", "temp_winding", "T_fb", "T_ref", "id_fb", "id_ref", "iq_fb", "iq_ref",
        "pos_fb", "pos_ref", "spd_fb", "spd_ref", "vd_ref", "vq_ref")],
    "Meas_type": [("turn", "c_int32", False), ("turn2", "c_int32", False)] + [
        (n, _D, False) for n in ("T", "e_pos", "pos", "pos2", "spd", "spd2")],
    "Motor_type": [(n, _D, False) for n in (
        "m_Te", "m_Tl", "m_acc", "m_eff_elec", "m_eff_mec", "m_i_dc", "m_ia", "m_ib", "m_ic",
        "m_id", "m_iq", "m_pos1", "m_pos2", "m_pwr_dc", "m_pwr_elec", "m_pwr_mec", "m_spd1",
        "m_spd2", "m_va", "m_vb", "m_vc", "m_vd", "m_vq")],
    "Debug_type": [(n, "c_bool", False) for n in (
        "T_fb_max", "T_ref_max", "i_max", "pos_fb_max", "pos_fb_min", "pos_ref_max",
        "pos_ref_min", "spd_fb_max", "spd_ref_max", "spd_ref_min")],
    "Filter_type": [("spd_cutoff", _D, False), ("current_cutoff", _D, False)],
    "B_DT_T": [("Te", _D, False), ("vd", _D, False), ("vq", _D, False)],
    "DW_DT_T": [("steps", "c_uint64", False)],
    "PrevZCX_DT_T": [("ResetPos_ZCE", "c_uint8", False)],
}

# Wrapper attribute -> (structure, getter).
GROUP_TYPES: dict[str, tuple[str, str]] = {
    "inp": ("Inports_type", "get_inports_ptr"),
    "pid": ("PID_type", "get_pid_ptr"),
    "imp": ("Impedance_type", "get_impedance_ptr"),
    "lim": ("Lim_type", "get_lim_ptr"),
    "info": ("Info_type", "get_info_ptr"),
    "meas": ("Meas_type", "get_meas_ptr"),
    "motor": ("Motor_type", "get_motor_ptr"),
    "debug": ("Debug_type", "get_debug_ptr"),
}

# ctypes scalar -> C type, for ``c_types``.
C_TYPES = {
    "c_bool": "bool", "c_int8": "int8_t", "c_uint8": "uint8_t", "c_int16": "int16_t",
    "c_uint16": "uint16_t", "c_int32": "int32_t", "c_uint32": "uint32_t", "c_int64": "int64_t",
    "c_uint64": "uint64_t", "c_float": "float", "c_double": "double",
}
# c_types role -> (C macro of twins/vkl_ref_twin.c, fields "Struct_type.field").
_REAL_FIELDS = [f"{s}.{f}" for s in ("Info_type", "Meas_type", "Motor_type", "Inports_type")
                for f, t, _ in STRUCTURES[s] if t == _D]
_OPTIONAL_FIELDS = {f"{s}.{f}" for s, fields in STRUCTURES.items() for f, _, opt in fields if opt}
C_TYPE_ROLES: dict[str, tuple[str, list[str]]] = {
    "enable": ("DT_ENABLE_T", ["Inports_type.Enable", "Inports_type.ResetPos"]),
    "control": ("DT_CONTROL_T", ["Inports_type.ControlType"]),
    "turn": ("DT_TURN_T", ["Meas_type.turn", "Meas_type.turn2"]),
    "flag": ("DT_FLAG_T", [f"Debug_type.{f}" for f, _, _ in STRUCTURES["Debug_type"]]),
    "real": ("DT_REAL_T", _REAL_FIELDS),
}

_ALL_DOUBLE = {"enable": "c_double", "control": "c_double", "turn": "c_double", "flag": "c_double"}
# Variants whose fields are all plain ctypes scalars, in the mixes a generated twin may
# declare, with the optional fields present or absent: name -> build_twin options.  The
# simulated actuator runs each of them on its native road (tests and benchmarks use them).
SCALAR_VARIANTS: dict[str, dict] = {
    "reference": {},
    "no-optional-fields": {"optional_fields": False},
    "no-filter": {"filter_global": False, "filter_type": False},
    "stated-time-step": {"time_step_s": 1e-4, "export_time_step": True},
    "reals-float": {"c_types": {"real": "c_float"}},
    "flags-uint8": {"c_types": {"flag": "c_uint8", "enable": "c_uint8"}},
    "integers-double": {"c_types": _ALL_DOUBLE},
    "all-double-no-optional": {"optional_fields": False, "c_types": _ALL_DOUBLE},
    "integer-widths": {"c_types": {"enable": "c_int16", "control": "c_uint16", "turn": "c_int64",
                                   "flag": "c_uint32"}},
    "narrow-mix-no-optional": {"optional_fields": False, "c_types": {
        "enable": "c_int8", "control": "c_uint64", "turn": "c_uint32", "flag": "c_bool", "real": "c_float"}},
    "signed-bytes": {"c_types": {"enable": "c_bool", "control": "c_int8", "turn": "c_int16", "flag": "c_int8"}},
}

INTERFACE_FUNCTIONS = ["DT_initialize", "DT_step", "DT_terminate"] + [g for _, g in GROUP_TYPES.values()]
DATA_SYMBOLS = ["Filter", "MOTOR_MODEL", "SUBMODULE_COMMITS"]

_DEFAULT_MOTOR_MODEL = "VKL-REF-PMSM 7PP 24V direct drive"
_DEFAULT_COMMITS = "vkl_ref_twin 1.0.0"
_cache: dict[str, pathlib.Path] = {}
_cache_dir: pathlib.Path | None = None


def platform_target() -> str:
    """The running platform's preferred artifact target name."""
    try:
        from vkl_api import _twin_catalog
        return _twin_catalog.platform_artifact_targets()[0]
    except Exception:  # the catalog is not what is under test here
        return "Intel_x8664Linux64"


def ref_twin_source() -> str:
    return TWIN_SOURCE.read_text()


def _c_literal(text: str | bytes) -> str:
    data = text.encode() if isinstance(text, str) else bytes(text)
    return '"' + "".join(f"\\x{b:02x}\"\"" for b in data) + '"'


def generate_bindings(*, optional_fields: bool = True, filter_type: bool = True,
                      field_types: dict[str, str] | None = None, prelude: str = "", append: str = "") -> str:
    """ctypes bindings source for a variant of the reference twin."""
    field_types = dict(field_types or {})
    out = ['"""Generated test bindings of a reference-twin variant."""', "", "import ctypes", ""]
    if prelude:
        out += [prelude, ""]
    for name, fields in STRUCTURES.items():
        if name == "Filter_type" and not filter_type:
            continue
        out.append(f"class {name}(ctypes.Structure):")
        out.append("    _fields_ = [")
        for field, ctype, optional in fields:
            if optional and not optional_fields:
                continue
            expr = field_types.pop(f"{name}.{field}", f"ctypes.{ctype}")
            out.append(f"        ({field!r}, {expr}),")
        out.append("    ]")
        out.append("")
    if field_types:
        raise ValueError(f"unknown fields in field_types: {sorted(field_types)}")
    out += [
        "class RT_MODEL_DT_T(ctypes.Structure):",
        "    _fields_ = [",
        "        ('blockIO', ctypes.POINTER(B_DT_T)),",
        "        ('dwork', ctypes.POINTER(DW_DT_T)),",
        "        ('prevZCSigState', ctypes.POINTER(PrevZCX_DT_T)),",
        "        ('errorStatus', ctypes.POINTER(ctypes.c_char)),",
        "    ]",
        "",
        "_model_fn = ctypes.CFUNCTYPE(None, ctypes.POINTER(RT_MODEL_DT_T))",
        "DT_initialize = _model_fn()",
        "DT_step = _model_fn()",
        "DT_terminate = _model_fn()",
    ]
    for struct, getter in GROUP_TYPES.values():
        out.append(f"{getter} = ctypes.CFUNCTYPE(ctypes.POINTER({struct}))()")
    if append:
        out += ["", append]
    return "\n".join(out) + "\n"


def _compile(*, time_step_s, export_time_step, optional_fields, filter_global, motor_model,
             submodule_commits, omit_symbols, null_getters, extra_c, step_hook=False,
             c_types=()) -> pathlib.Path:
    global _cache_dir
    lines = [f"#define {C_TYPE_ROLES[role][0]} {C_TYPES[ctype]}" for role, ctype in c_types] + [
        f"#define DT_TIME_STEP_S {float(time_step_s)!r}",
        f"#define DT_WITH_OPTIONAL {1 if optional_fields else 0}",
        f"#define DT_WITH_FILTER {1 if filter_global else 0}",
    ]
    if export_time_step:
        lines.append("#define DT_EXPORT_TIME_STEP 1")
    if motor_model is None and submodule_commits is None:
        lines.append("#define DT_NO_TEXT_GLOBALS 1")
    for getter in null_getters:
        lines.append(f"#define {getter} {getter}_static")
    if step_hook:
        lines.append("#define DT_step DT_step_model")
    lines.append(f'#include "{TWIN_SOURCE}"')
    if step_hook:
        lines += [
            "#undef DT_step",
            "static void (*dt_step_hook)(void);",
            "DT_EXPORT void DT_set_step_hook(void (*fn)(void)) { dt_step_hook = fn; }",
            "DT_EXPORT void DT_step(RT_MODEL_DT_T *rtm) { DT_step_model(rtm); if (dt_step_hook) dt_step_hook(); }",
        ]
    for getter in null_getters:
        lines.append(f"#undef {getter}")
        lines.append(f"DT_EXPORT void *{getter}(void) {{ return (void *)0; }}")
    if motor_model is not None or submodule_commits is not None:
        # The shipped texts are replaced by the variant's own symbols.
        lines.insert(0, "#define DT_NO_TEXT_GLOBALS 1")
        if motor_model is not None:
            lines.append(f"DT_EXPORT const char MOTOR_MODEL[] = {_c_literal(motor_model)};")
        if submodule_commits is not None:
            lines.append(f"DT_EXPORT const char SUBMODULE_COMMITS[] = {_c_literal(submodule_commits)};")
    if extra_c:
        lines.append(extra_c)
    source = "\n".join(lines) + "\n"
    exported = [s for s in INTERFACE_FUNCTIONS + DATA_SYMBOLS + ["get_sim_time_step_s"] if s not in omit_symbols]
    if step_hook:
        exported.append("DT_set_step_hook")
    script = "{ global: " + "".join(f"{s}; " for s in exported) + "local: *; };\n"
    key = hashlib.sha256((source + script + ref_twin_source()).encode()).hexdigest()[:20]
    if key in _cache and _cache[key].exists():
        return _cache[key]
    if _cache_dir is None:
        _cache_dir = pathlib.Path(tempfile.mkdtemp(prefix="vkl_twins_"))
        atexit.register(shutil.rmtree, _cache_dir, True)
    work = _cache_dir / key
    work.mkdir(exist_ok=True)
    (work / "variant.c").write_text(source)
    (work / "exports.map").write_text(script)
    lib = work / "libvariant.so"
    cmd = [os.environ.get("CC", "gcc"), "-O2", "-shared", "-fPIC", "-fvisibility=hidden",
           str(work / "variant.c"), f"-Wl,--version-script={work / 'exports.map'}", "-o", str(lib), "-lm"]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"twin variant failed to compile:\n{proc.stderr}")
    _cache[key] = lib
    return lib


def build_twin(tmp_dir, model: str = "X", *, target: str | None = None, time_step_s: float = 5e-05,
               export_time_step: bool = False, optional_fields: bool = True, filter_global: bool = True,
               filter_type: bool = True, motor_model: str | bytes | None = _DEFAULT_MOTOR_MODEL,
               submodule_commits: str | bytes | None = _DEFAULT_COMMITS, omit_symbols=(), null_getters=(),
               extra_c: str = "", step_hook: bool = False, field_types: dict[str, str] | None = None,
               c_types: dict[str, str] | None = None, bindings_prelude: str = "",
               bindings_append: str = "", bindings_text: str | None = None,
               bindings_name: str | None = None) -> tuple[pathlib.Path, pathlib.Path]:
    """Write one twin variant into tmp_dir; returns (library_path, bindings_path)."""
    tmp_dir = pathlib.Path(tmp_dir)
    tmp_dir.mkdir(parents=True, exist_ok=True)
    target = target or platform_target()
    compiled = _compile(time_step_s=time_step_s, export_time_step=export_time_step,
                        optional_fields=optional_fields, filter_global=filter_global,
                        motor_model=motor_model, submodule_commits=submodule_commits,
                        omit_symbols=tuple(omit_symbols), null_getters=tuple(null_getters), extra_c=extra_c,
                        step_hook=step_hook, c_types=tuple(sorted((c_types or {}).items())))
    field_types = dict(field_types or {})
    for role, ctype in (c_types or {}).items():
        for field in C_TYPE_ROLES[role][1]:
            if optional_fields or field not in _OPTIONAL_FIELDS:
                field_types.setdefault(field, f"ctypes.{ctype}")
    lib_path = tmp_dir / f"lib{model}_{target}.so"
    shutil.copy2(compiled, lib_path)
    if bindings_text is None:
        bindings_text = generate_bindings(optional_fields=optional_fields, filter_type=filter_type,
                                          field_types=field_types, prelude=bindings_prelude,
                                          append=bindings_append)
    bindings_path = tmp_dir / (bindings_name or f"bindings_{model}_{target}.py")
    bindings_path.write_text(bindings_text)
    return lib_path, bindings_path
