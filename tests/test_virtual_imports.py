"""How the simulated-actuator module finds its three siblings: all as top-level modules, or,
when any of them is missing, all from the package.  Each case runs in a fresh interpreter."""

import os
import subprocess
import sys
import textwrap

import vkl_api

PKG_DIR = os.path.dirname(os.path.abspath(vkl_api.__file__))

BLOCKER = """
import importlib.abc, sys
class Blocker(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name in BLOCKED:
            raise ModuleNotFoundError("blocked " + name, name=name)
        return None
sys.meta_path.insert(0, Blocker())
"""


def run(code, *, top_level=False, blocked=()):
    paths = ([PKG_DIR] if top_level else []) + [os.path.dirname(PKG_DIR)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    env.pop("VKL_API_VIRTUAL_ASSETS_ROOT", None)
    src = f"BLOCKED = {list(blocked)!r}\n" + BLOCKER + textwrap.dedent(code)
    proc = subprocess.run([sys.executable, "-c", src], env=env, capture_output=True, text=True, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


def test_top_level_siblings_and_logger_name():
    rc, out, err = run("""
        import sys, logging
        import kavrel_actuator_virtual as v
        import _kavrel_actuator_base, _twin_engine, _twin_catalog
        assert v.KavrelActuatorVirtual.__mro__[1] is _kavrel_actuator_base.KavrelActuatorBase
        assert v.ActuatorWrapper is _twin_engine.ActuatorWrapper
        assert v.resolve_dtwin_artifacts is _twin_catalog.resolve_dtwin_artifacts
        assert not [m for m in sys.modules if m.startswith("vkl_api._")], sorted(sys.modules)
        assert v.KavrelActuatorVirtual().logger is logging.getLogger("_kavrel_actuator_base")
        print("ok")
    """, top_level=True)
    assert rc == 0 and out.strip() == "ok", out + err


def test_package_siblings():
    rc, out, err = run("""
        import sys
        import vkl_api.kavrel_actuator_virtual as v
        import vkl_api._kavrel_actuator_base as b, vkl_api._twin_engine as e, vkl_api._twin_catalog as c
        assert v.KavrelActuatorVirtual.__mro__[1] is b.KavrelActuatorBase
        assert v.ActuatorWrapper is e.ActuatorWrapper and v.get_actuator_spec is c.get_actuator_spec
        assert v.list_available_dtwin_artifacts is c.list_available_dtwin_artifacts
        assert v.get_default_dtwin_time_step_s is e.get_default_dtwin_time_step_s
        assert "_twin_engine" not in sys.modules and "_kavrel_actuator_base" not in sys.modules
        assert v.KavrelActuatorVirtual().logger.name == "vkl_api._kavrel_actuator_base"
        print("ok")
    """)
    assert rc == 0 and out.strip() == "ok", out + err


def test_one_missing_top_level_sibling_takes_all_three_from_the_package():
    rc, out, err = run("""
        import kavrel_actuator_virtual as v
        import vkl_api._kavrel_actuator_base as b, vkl_api._twin_engine as e, vkl_api._twin_catalog as c
        assert v.KavrelActuatorVirtual.__mro__[1] is b.KavrelActuatorBase
        assert v.ActuatorWrapper is e.ActuatorWrapper and v.resolve_dtwin_artifacts is c.resolve_dtwin_artifacts
        assert v.KavrelActuatorVirtual().logger.name == "vkl_api._kavrel_actuator_base"
        print("ok")
    """, top_level=True, blocked=["_twin_catalog"])
    assert rc == 0 and out.strip() == "ok", out + err


def test_second_attempt_failing_fails_the_import():
    rc, out, err = run("""
        try:
            import vkl_api.kavrel_actuator_virtual
        except ImportError as e:
            print("ImportError")
    """, blocked=["_twin_engine", "vkl_api._twin_engine"])
    assert rc == 0 and out.strip() == "ImportError", out + err


def test_a_simulated_actuator_runs_after_a_top_level_import():
    rc, out, err = run("""
        import kavrel_actuator_virtual as v
        a = v.KavrelActuatorVirtual()
        a.set_actuator("VKL_REF_TWIN")
        a.connect()
        a.set_feedback_items([a.VKL_Items.SPEED_FB])
        print(len(a.step(steps=30)), len(a.telemetry_log.time))
    """, top_level=True)
    assert rc == 0 and out.split() == ["1", "30"], out + err
