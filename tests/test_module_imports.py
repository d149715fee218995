"""How the modules import their siblings and optional dependencies, and what reaches the importer
when a module's initialisation fails.  Every case runs in a fresh interpreter (import_sandbox).

A sibling-import step is `from <sibling> import <names>` for each sibling, taken as top-level
modules; an ImportError there (a missing module or a missing name) makes the module take all of
them again from the package; any other error passes to the importer as it was raised."""

import importlib
import importlib.machinery
import json
import textwrap

import pytest

from import_sandbox import run

MODULES = ["_protocol", "_transport", "_vkl", "vkl_over_usb", "_kavrel_actuator_base", "kavrel_actuator_real",
           "kavrel_cli", "_twin_catalog", "_twin_engine", "kavrel_actuator_virtual"]

# module: its sibling-import step, in order
STEPS = {
    "_kavrel_actuator_base": [("_protocol", ["is_valid_actuator_address"])],
    "_vkl": [
        ("_transport", ["VklTransport"]),
        ("_protocol", ["VKL_USB_MSG_START_BYTE", "VKL_USB_MSG_HEADER_LENGTH", "VKL_USB_MAX_PAYLOAD_SIZE",
                       "VKL_USB_CRC_MAGIC_NUMBER", "build_vlk_identifier", "is_valid_vkl_address",
                       "is_valid_vkl_payload"]),
    ],
    "vkl_over_usb": [("_vkl", ["VKL"]), ("_protocol", ["build_usb_address_flags", "parse_usb_address_flags"])],
    "kavrel_actuator_real": [
        ("_kavrel_actuator_base", ["KavrelActuatorBase"]),
        ("_protocol", ["VKL_ACTUATOR_ADDRESS_MAX", "VKL_MAX_FEEDBACK_ITEMS_PER_REQUEST",
                       "VKL_MAX_PARAMETERS_PER_REQUEST"]),
    ],
    "kavrel_actuator_virtual": [
        ("_kavrel_actuator_base", ["KavrelActuatorBase"]),
        ("_twin_engine", ["ActuatorWrapper", "get_default_dtwin_time_step_s"]),
        ("_twin_catalog", ["get_actuator_spec", "list_available_dtwin_artifacts", "resolve_dtwin_artifacts"]),
    ],
}
SIBLING_ROWS = [(m, sib) for m, step in STEPS.items() for sib, _ in step]

# Imports `vkl_api.<MODULE>` and prints what happened: the error, or where each name of the
# step came from ("<sibling>" top-level, "vkl_api.<sibling>" the package, "own" the module itself).
IMPORT = """
    import importlib, json, sys, traceback
    out = {}
    try:
        mod = importlib.import_module("vkl_api." + MODULE)
    except BaseException as e:
        out["error"] = [type(e).__name__, str(e), getattr(e, "name", None)]
        ctx = e.__context__
        out["context"] = ctx and [type(ctx).__name__, getattr(ctx, "name", None)]
        out["cause"] = repr(e.__cause__)
        tb = traceback.extract_tb(e.__traceback__)
        out["frames"] = [[f.filename, f.name] for f in tb]
    else:
        out["from"] = {}
        for sib, names in STEP:
            for n in names:
                v = getattr(mod, n)
                src = [p for p in (sib, "vkl_api." + sib) if p in sys.modules and getattr(sys.modules[p], n, None) is v]
                if len(src) == 2:
                    src = ["same in both"]  # a small int, say: no telling where it came from
                if getattr(v, "__module__", None) == mod.__name__:
                    src.append("own")
                out["from"][n] = src
    out["tried"] = tried
    out["modules"] = sorted(m for m in sys.modules if m.lstrip("_").startswith(("vkl", "kavrel", "twin", "protocol",
                                                                                   "transport", "pydantic", "yaml")))
    out["loaded"] = "vkl_api." + MODULE in sys.modules
    print(json.dumps(out))
"""


def outcome(module, step=(), **kwargs):
    code = f"MODULE = {module!r}\nSTEP = {[list(s) for s in step]!r}\n" + textwrap.dedent(IMPORT)
    return json.loads(run(code, **kwargs))


def names_of(module):
    return [n for _, names in STEPS[module] for n in names]


def shadow(tmp_path, name, source):
    """A top-level module `name` that shadows the real one."""
    (tmp_path / f"{name}.py").write_text(textwrap.dedent(source))
    return [tmp_path]


# ---- sibling imports ----------------------------------------------------------------------------

@pytest.mark.parametrize("module", list(STEPS))
def test_complete_top_level_siblings_are_used(module):
    out = outcome(module, STEPS[module], top_level=True)
    assert out["from"] == {n: [sib] for sib, names in STEPS[module] for n in names}
    assert not [m for m in out["modules"] if m.startswith("vkl_api._") and m != "vkl_api." + module]


@pytest.mark.parametrize("module", list(STEPS))
def test_without_top_level_modules_all_come_from_the_package(module):
    # The installed case: no top-level module of these names exists at all.
    out = outcome(module, STEPS[module])
    assert out["from"] == {n: ["vkl_api." + sib] for sib, names in STEPS[module] for n in names}
    assert not [m for m in out["modules"] if m.startswith("_")]


def lacks_last_name(module, sib):
    names = dict(STEPS[module])[sib]
    return "".join(f"{n} = 'top-level'\n" for n in names[:-1])


# How a top-level sibling fails, as (keyword arguments of run, given tmp_path, module and sibling).
FALLS_BACK = {
    "missing": lambda tmp, module, sib: {"blocked": [sib]},
    "lacks a name": lambda tmp, module, sib: {"paths": shadow(tmp, sib, lacks_last_name(module, sib))},
    "raises ImportError": lambda tmp, module, sib: {
        "paths": shadow(tmp, sib, "raise ImportError('half-built ' + __name__)")},
}


@pytest.mark.parametrize("how", list(FALLS_BACK))
@pytest.mark.parametrize("module, sib", SIBLING_ROWS)
def test_an_import_error_of_one_sibling_takes_all_from_the_package(tmp_path, module, sib, how):
    out = outcome(module, STEPS[module], top_level=True, **FALLS_BACK[how](tmp_path, module, sib))
    assert "error" not in out, out
    for s, names in STEPS[module]:
        for n in names:
            assert out["from"][n] in (["vkl_api." + s], ["same in both"]), n
    assert out["from"][names_of(module)[0]] == ["vkl_api." + STEPS[module][0][0]]


@pytest.mark.parametrize("module, sib", SIBLING_ROWS)
def test_another_error_of_a_top_level_sibling_reaches_the_importer(tmp_path, module, sib):
    bad = shadow(tmp_path, sib, "raise RuntimeError('broken ' + __name__)")
    out = outcome(module, STEPS[module], top_level=True, paths=bad)
    assert out["error"] == ["RuntimeError", "broken " + sib, None]
    assert out["cause"] == "None"
    assert out["frames"][-1][0] == str(tmp_path / f"{sib}.py")
    # No fallback was tried for it.
    assert "vkl_api." + sib not in out["modules"] and not out["loaded"]


@pytest.mark.parametrize("module, sib", SIBLING_ROWS)
def test_a_failing_second_attempt_fails_the_import(module, sib):
    out = outcome(module, STEPS[module], top_level=True, blocked=[sib, "vkl_api." + sib])
    assert out["error"] == ["ModuleNotFoundError", f"No module named 'vkl_api.{sib}'", "vkl_api." + sib]
    # Raised while the first attempt's error was being handled, as in an `except` block.
    assert out["context"] == ["ModuleNotFoundError", sib]
    assert out["tried"][0] == sib and out["tried"][-1] == "vkl_api." + sib
    assert set(out["tried"]) == {sib, "vkl_api." + sib}
    assert not out["loaded"]


def test_a_missing_name_is_reported_as_the_interpreter_reports_it(tmp_path):
    shadow(tmp_path, "_protocol", "VALUE = 1\n")
    out = run("""
        import _protocol
        from vkl_api import _kavrel_actuator_base  # falls back
        try:
            from _protocol import is_valid_actuator_address
        except ImportError as e:
            expected = e
        import vkl_api._kavrel_actuator_base as b
        print(b.is_valid_actuator_address(0x10), b.is_valid_actuator_address(0x3FFF))
        print(repr(expected), expected.name, expected.path == _protocol.__file__, expected.name_from)
    """, paths=[tmp_path])
    lines = out.splitlines()
    assert lines[0] == "True False"
    assert lines[1] == (f"ImportError(\"cannot import name 'is_valid_actuator_address' from '_protocol' "
                        f"({tmp_path / '_protocol.py'})\") _protocol True is_valid_actuator_address")


def test_the_command_line_module_imports_only_from_the_package():
    # A top-level module of the same name would be tried first if there were a fallback.
    out = outcome("kavrel_cli", top_level=True, blocked=["vkl_api.kavrel_actuator_real"],
                  broken=["kavrel_actuator_real"])
    assert out["error"] == ["ModuleNotFoundError", "No module named 'vkl_api.kavrel_actuator_real'",
                            "vkl_api.kavrel_actuator_real"]
    assert out["tried"] == ["vkl_api.kavrel_actuator_real"]


@pytest.mark.parametrize("stand_in, missing", [("vkl_api.kavrel_actuator_real", "KavrelActuatorReal"),
                                               ("vkl_api.vkl_over_usb", "VklOverUsb")])
def test_a_name_missing_from_a_command_line_import_is_an_import_error(stand_in, missing):
    out = run(f"""
        import types
        sys.modules[{stand_in!r}] = types.ModuleType({stand_in!r})  # already imported, without the name
        try:
            import vkl_api.kavrel_cli
        except ImportError as e:
            print(type(e).__name__, e)
    """)
    assert out.strip() == f"ImportError cannot import name {missing!r} from {stand_in!r} (unknown location)"


# ---- optional dependencies of the catalog --------------------------------------------------------

PYDANTIC_NAMES = ["BaseModel", "ConfigDict", "ValidationError"]
PYDANTIC_STEP = [("pydantic", PYDANTIC_NAMES)]


@pytest.mark.parametrize("how, kwargs, source", [
    ("installed", lambda tmp: {}, "pydantic"),
    ("missing", lambda tmp: {"blocked": ["pydantic"]}, "own"),
    ("lacks a name", lambda tmp: {"paths": shadow(tmp, "pydantic", "BaseModel = ConfigDict = 'fake'\n")}, "own"),
    ("raises ImportError", lambda tmp: {"paths": shadow(tmp, "pydantic", "raise ImportError('no pydantic_core')")},
     "own"),
])
def test_pydantic_names_or_the_modules_own(tmp_path, how, kwargs, source):
    out = outcome("_twin_catalog", PYDANTIC_STEP, **kwargs(tmp_path))
    assert out["from"] == {n: [source] for n in PYDANTIC_NAMES}


@pytest.mark.parametrize("dependency", ["pydantic", "yaml"])
def test_an_optional_dependency_raising_another_error_fails_the_import(tmp_path, dependency):
    bad = shadow(tmp_path, dependency, f"raise RuntimeError('broken {dependency}')")
    out = outcome("_twin_catalog", paths=bad)
    assert out["error"] == ["RuntimeError", "broken " + dependency, None]
    assert out["cause"] == "None" and out["frames"][-1][0] == str(tmp_path / f"{dependency}.py")


def test_a_yaml_raising_import_error_counts_as_absent(tmp_path):
    out = run("""
        import vkl_api._twin_catalog as tc
        print(tc.yaml)
    """, paths=shadow(tmp_path, "yaml", "raise ImportError('no libyaml')"))
    assert out.strip() == "None"


# ---- errors during initialisation ---------------------------------------------------------------

@pytest.mark.parametrize("module", MODULES)
def test_an_error_in_initialisation_reaches_the_importer_unchanged(module):
    out = outcome(module, fail_init=["vkl_api." + module])
    assert out["error"] == ["RuntimeError", f"injected into vkl_api.{module}", None]
    assert out["cause"] == "None" and out["context"] is None
    # The traceback ends where it was raised.
    assert out["frames"][-1][1] == "__setattr__"
    assert not out["loaded"]


@pytest.mark.parametrize("module, failing", [
    ("kavrel_cli", "vkl_api.vkl_over_usb"),
    ("kavrel_cli", "vkl_api.kavrel_actuator_real"),
    ("vkl_over_usb", "vkl_api._vkl"),
    ("kavrel_actuator_virtual", "vkl_api._twin_engine"),
])
def test_an_error_in_a_dependencys_initialisation_passes_through(module, failing):
    out = outcome(module, fail_init=[failing])
    assert out["error"] == ["RuntimeError", "injected into " + failing, None]


def test_a_required_dependency_raising_another_error_fails_the_import():
    out = outcome("vkl_over_usb", broken=["serial"])
    assert out["error"] == ["RuntimeError", "broken serial", None] and out["tried"] == ["serial"]


@pytest.mark.parametrize("name", MODULES)
def test_modules_are_extension_modules(name):
    mod = importlib.import_module("vkl_api." + name)
    assert mod.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert isinstance(mod.__spec__.loader, importlib.machinery.ExtensionFileLoader)


# ---- modules imported as top-level modules ---------------------------------------------------------

def test_top_level_base_module_uses_top_level_protocol_and_own_logger_name():
    out = run("""
        import logging, sys
        import _kavrel_actuator_base as m
        import _protocol
        B = m.KavrelActuatorBase
        assert m.__name__ == "_kavrel_actuator_base", m.__name__
        assert m.logger is logging.getLogger("_kavrel_actuator_base")
        assert B().logger.name == "_kavrel_actuator_base"
        assert m.is_valid_actuator_address is _protocol.is_valid_actuator_address
        assert "vkl_api._protocol" not in sys.modules
        assert "vkl_api._kavrel_actuator_base" not in sys.modules
        print("ok")
    """, top_level=True)
    assert out.strip() == "ok"


def test_a_top_level_importer_falls_back_too():
    out = run("""
        import _kavrel_actuator_base as m, kavrel_actuator_virtual as v
        import vkl_api._protocol as p, vkl_api._twin_catalog as c, vkl_api._kavrel_actuator_base as b
        assert m.is_valid_actuator_address is p.is_valid_actuator_address
        assert v.resolve_dtwin_artifacts is c.resolve_dtwin_artifacts
        assert v.KavrelActuatorVirtual.__mro__[1] is b.KavrelActuatorBase
        print(tried)
    """, top_level=True, blocked=["_protocol", "_twin_catalog"])
    assert out.strip() == "['_protocol', '_twin_catalog', '_protocol']"


@pytest.mark.parametrize("top_level, logger", [(True, "_kavrel_actuator_base"),
                                               (False, "vkl_api._kavrel_actuator_base")])
def test_default_logger_follows_where_the_base_module_came_from(top_level, logger):
    module = "kavrel_actuator_virtual" if top_level else "vkl_api.kavrel_actuator_virtual"
    out = run(f"""
        import importlib
        v = importlib.import_module({module!r})
        print(v.KavrelActuatorVirtual().logger.name)
    """, top_level=top_level)
    assert out.strip() == logger


def test_a_simulated_actuator_runs_after_a_top_level_import():
    out = run("""
        import sys
        import kavrel_actuator_virtual as v
        assert not [m for m in sys.modules if m.startswith("vkl_api._")], sorted(sys.modules)
        a = v.KavrelActuatorVirtual()
        a.set_actuator("VKL_REF_TWIN")
        a.connect()
        a.set_feedback_items([a.VKL_Items.SPEED_FB])
        print(len(a.step(steps=30)), len(a.telemetry_log.time))
    """, top_level=True)
    assert out.split() == ["1", "30"]
