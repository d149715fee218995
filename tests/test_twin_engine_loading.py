"""Digital-twin engine: isolated loading and binding of real compiled twins.

Every twin here is a variant of the reference twin compiled with gcc
(tests/twins_build.py) together with generated ctypes bindings.
"""

import ctypes
import os
import shutil
import sys

import pytest

import vkl_api._twin_engine as te
from twins_build import build_twin

AW = te.ActuatorWrapper


@pytest.fixture(scope="module")
def twin(tmp_path_factory):
    return build_twin(tmp_path_factory.mktemp("ref"), "REF")


def address(fn):
    return ctypes.cast(fn, ctypes.c_void_p).value


def test_two_wrappers_of_one_twin_share_nothing(twin, wrappers):
    before = AW.instance_count
    a, b = wrappers(*twin), wrappers(*twin)
    assert AW.instance_count == before + 2
    assert a._initialized is False and b._initialized is False
    assert a.tmp_dir != b.tmp_dir and a._lib is not b._lib
    assert a._lib.__name__ == "dtwin" and sys.modules.get("dtwin") not in (a._lib, b._lib)
    for name in ("inp", "pid", "imp", "lim", "info", "meas", "motor", "debug"):
        sa, sb = getattr(a, name), getattr(b, name)
        assert type(sa) is not type(sb) and ctypes.addressof(sa) != ctypes.addressof(sb)
    assert type(a.inp).__module__ == "dtwin"
    # Each copy lies in its own directory under the library's name, and the
    # functions run in that copy.
    assert (a.tmp_dir / twin[0].name).is_file() and a.tmp_dir.parent == b.tmp_dir.parent
    assert a._lib._dll._name == str(a.tmp_dir / twin[0].name)
    assert address(a._lib.DT_step) != address(b._lib.DT_step)
    # State: inputs written and steps taken through one are not seen by the other.
    a.inp.Load = 0.25
    a.initialize()
    a.set_enable(True)
    for _ in range(200):
        a.step(1.0)
    assert b.inp.Load == 0.0 and b.inp.Reference == 0.0
    assert a.model.dwork.contents.steps == 20002 + 200 and b.model.dwork.contents.steps == 0
    assert a.info.pos_fb > 0 and b.info.pos_fb == 0.0 and b.info.temp_winding == 0.0


def test_library_reached_through_a_symbolic_link_is_copied_under_the_target_name(twin, tmp_path, wrappers):
    link = tmp_path / "libLINK.so"
    link.symlink_to(twin[0])
    w = wrappers(link, twin[1])
    assert sorted(p.name for p in w.tmp_dir.iterdir()) == [twin[0].name]


def test_copy_keeps_the_file_metadata(twin, wrappers):
    w = wrappers(*twin)
    src, dst = os.stat(twin[0]), os.stat(w.tmp_dir / twin[0].name)
    assert dst.st_mode == src.st_mode and dst.st_mtime_ns == src.st_mtime_ns


@pytest.mark.parametrize("which", ["shared_lib_path", "ctypes_path"])
@pytest.mark.parametrize("bad", [None, b"x", 3], ids=["None", "bytes", "int"])
def test_constructor_takes_exact_strings(twin, which, bad):
    class S(str):
        pass

    before = AW.instance_count
    for value, tname in ((bad, type(bad).__name__), (S(twin[0]), "S")):
        args = {"shared_lib_path": str(twin[0]), "ctypes_path": str(twin[1]), which: value}
        with pytest.raises(TypeError) as e:
            AW(**args)
        assert str(e.value) == f"Argument '{which}' has incorrect type (expected str, got {tname})"
    assert AW.instance_count == before


def test_bindings_path_without_loader_names_the_path_as_given(twin, tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    shutil.copy(twin[1], real / "bindings.txt")
    (tmp_path / "link").symlink_to(real)
    given = tmp_path / "link" / "." / "bindings.txt"
    with pytest.raises(ImportError) as e:
        AW(str(twin[0]), str(given))
    assert str(e.value) == "Could not load digital-twin bindings from " + str(tmp_path / "link" / "bindings.txt")


def test_bindings_path_with_surrogate_escapes_is_named_as_it_is(twin, tmp_path):
    # A file name of undecodable bytes, as the file system hands it over.
    given = tmp_path / "bindings\udcff.txt"
    shutil.copy(twin[1], given)
    with pytest.raises(ImportError) as e:
        AW(str(twin[0]), str(given))
    assert str(e.value) == "Could not load digital-twin bindings from " + str(given)


BROKEN = {
    "bindings file missing": (dict(), "missing-bindings", FileNotFoundError, None),
    "bindings fail to execute": (dict(bindings_append="raise RuntimeError('bindings broken')"), None,
                                 RuntimeError, "bindings broken"),
    "library file missing": (dict(), "missing-library", FileNotFoundError, None),
    "library not loadable": (dict(), "text-library", OSError, None),
    "getter missing from bindings": (dict(bindings_append="del get_lim_ptr"), None, AttributeError, "get_lim_ptr"),
    "work-area class missing": (dict(bindings_append="del DW_DT_T"), None, AttributeError, "DW_DT_T"),
    "getter not exported": (dict(omit_symbols=["get_meas_ptr"]), None, AttributeError, "get_meas_ptr"),
    "null structure pointer": (dict(null_getters=["get_info_ptr"]), None, ValueError, "NULL pointer"),
}


@pytest.mark.parametrize("case", BROKEN)
def test_broken_twin_raises_and_makes_no_wrapper(case, tmp_path):
    options, special, exc, text = BROKEN[case]
    lib, bindings = build_twin(tmp_path, "BROKEN", **options)
    if special == "missing-bindings":
        bindings.unlink()
    elif special == "missing-library":
        lib.unlink()
    elif special == "text-library":
        lib.write_text("not a shared library\n")
    before = AW.instance_count
    with pytest.raises(exc) as e:
        AW(str(lib), str(bindings))
    if text:
        assert text in str(e.value)
    assert AW.instance_count == before


@pytest.mark.parametrize("symbol", ["DT_initialize", "DT_step", "DT_terminate"])
def test_lifecycle_function_the_library_lacks_raises_attribute_error(symbol, tmp_path, wrappers):
    w = wrappers(*build_twin(tmp_path, "NOSYM", omit_symbols=[symbol]))
    assert address(getattr(w._lib, symbol)) is None  # the bindings' own (unbound) prototype
    if symbol == "DT_terminate":
        w.initialize()
        with pytest.raises(AttributeError, match=symbol):
            w.terminate()
        assert w._initialized is True and w.tmp_dir.exists()
        w._initialized = False
        return
    with pytest.raises(AttributeError, match=symbol):
        w.initialize()
    assert w._initialized is False
    if symbol == "DT_step":
        with pytest.raises(AttributeError, match=symbol):
            w.step(0.0)
        with pytest.raises(AttributeError, match=symbol):
            w.set_home_position()
        assert w.inp.ResetPos is True
    else:
        w.step(0.0)
        assert w.model.dwork.contents.steps == 1


def test_functions_are_rebound_to_the_copy_with_their_declarations(tmp_path, wrappers):
    append = (
        "DT_step_alias = DT_step\n"
        "get_sim_time_step_s = ctypes.CFUNCTYPE(ctypes.c_double)()\n"
        "get_sim_time_step_s.argtypes = ()\n"
        "not_a_function = 3\n"
    )
    w = wrappers(*build_twin(tmp_path, "REBIND", export_time_step=True, time_step_s=0.002, bindings_append=append))
    lib = w._lib
    dll = lib._dll
    assert isinstance(dll, ctypes.CDLL)
    assert address(lib.DT_step) == address(dll.DT_step) != None  # noqa: E711
    # An alias under a name the library does not export keeps the module's binding.
    assert address(lib.DT_step_alias) is None
    assert lib.not_a_function == 3
    # restype and argtypes come along from the declaration.
    assert lib.get_sim_time_step_s.restype is ctypes.c_double and lib.get_sim_time_step_s.argtypes == ()
    assert lib.get_sim_time_step_s() == 0.002
    assert lib.get_info_ptr.restype is ctypes.POINTER(lib.Info_type)


FILTER_CASES = {
    # (library exports Filter, bindings declare Filter_type, bindings attribute Filter) -> expected
    "structure on the copy": (True, True, False, "copy"),
    "no symbol, module attribute": (False, True, True, "module"),
    "no symbol, nothing": (False, True, False, None),
    "no type, module attribute": (True, False, True, "module"),
    "no type, nothing": (True, False, False, None),
}


@pytest.mark.parametrize("case", FILTER_CASES)
def test_optional_filter_global(case, tmp_path, wrappers):
    exported, declared, attribute, expected = FILTER_CASES[case]
    append = "Filter = {'module': True}\n" if attribute else ""
    lib, bindings = build_twin(tmp_path, "FILT", filter_global=exported, filter_type=declared, bindings_append=append)
    w = wrappers(lib, bindings)
    if expected == "copy":
        assert type(w.filter) is w._lib.Filter_type
        other = wrappers(lib, bindings)
        assert ctypes.addressof(w.filter) != ctypes.addressof(other.filter)
        assert (w.filter.spd_cutoff, w.filter.current_cutoff) == (1000.0, 5000.0)
        symbol = w._lib.Filter_type.in_dll(w._lib._dll, "Filter")
        assert ctypes.addressof(w.filter) == ctypes.addressof(symbol)
    elif expected == "module":
        assert w.filter is w._lib.Filter
    else:
        assert w.filter is None


def test_bind_optional_global_argument_rules(twin, wrappers):
    w = wrappers(*twin)
    assert w._bind_optional_global("Filter_type", "NoSuchSymbol") is None
    assert w._bind_optional_global("NoSuchType", "Inports_type") is w._lib.Inports_type
    for args, name in (((1, "Filter"), "type_name"), (("Filter_type", None), "symbol_name")):
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            w._bind_optional_global(*args)


def test_model_record_has_private_work_areas_and_a_clear_error_buffer(twin, wrappers):
    a, b = wrappers(*twin), wrappers(*twin)
    for w in (a, b):
        m = w.model
        assert type(m) is w._lib.RT_MODEL_DT_T
        assert ctypes.string_at(m.errorStatus, 256) == bytes(256)
        assert m.blockIO.contents.Te == 0.0 and m.dwork.contents.steps == 0
        assert m.prevZCSigState.contents.ResetPos_ZCE == 0
    addrs = {ctypes.addressof(w.model.dwork.contents) for w in (a, b)}
    assert len(addrs) == 2
    # The twin writes its block outputs and counters into the record it is given.
    a.step(0.0)
    assert a.model.dwork.contents.steps == 1 and b.model.dwork.contents.steps == 0


def test_attributes_after_construction(twin, wrappers):
    w = wrappers(*twin)
    d = w.__dict__
    order = [k for k in d if k != "_native_view"]
    assert order == ["tmp_dir", "_lib", "imp", "pid", "debug", "info", "inp", "lim", "meas", "motor", "filter",
                     "model", "_initialized", "_feedforward_gain", "_reference_feedforward_torque",
                     "_impedance_speed_reference", "_impedance_acceleration_reference", "id_tag"]
    assert w.id_tag is None and w._feedforward_gain == 0.0 and "_address" not in d
    assert isinstance(d["_native_view"], te.TwinView) and d["_native_view"].can_step


def test_rebinding_stops_when_the_module_dictionary_changes_size(twin, wrappers):
    w = wrappers(*twin)

    class Growing:
        def __init__(self, module):
            self.module = module

        def __getattr__(self, name):
            setattr(self.module, "added_" + name, 1)
            raise AttributeError(name)

    mod = type(sys)("m")
    mod.f = ctypes.CFUNCTYPE(None)()
    mod.g = ctypes.CFUNCTYPE(None)()
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        w._rebind_ctypes_functions(mod, Growing(mod))
