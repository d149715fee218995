"""How the base modules find their siblings: top-level module first, the package module on ImportError.
Each case runs in a fresh interpreter, since an extension module cannot be imported twice."""

import os
import subprocess
import sys
import textwrap

import pytest

import vkl_api

PKG_DIR = os.path.dirname(os.path.abspath(vkl_api.__file__))

BLOCKER = textwrap.dedent("""
    import importlib.abc, sys
    BLOCKED = {blocked!r}
    RAISE = {raise_!r}
    tried = []

    class Blocker(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path=None, target=None):
            if name in BLOCKED:
                tried.append(name)
                if RAISE:
                    raise RuntimeError("broken " + name)
                raise ModuleNotFoundError("blocked " + name, name=name)
            return None

    sys.meta_path.insert(0, Blocker())

    def chain(e):
        # The extension's initialisation error keeps the original error as its cause.
        out = []
        while e is not None:
            out.append(e)
            e = e.__cause__ or e.__context__
        return out
""")


def run(code, *, top_level=False, extra_path=(), timeout=120):
    paths = list(extra_path)
    if top_level:
        paths.append(PKG_DIR)
    # The directory that holds the package stays importable (it is site-packages once installed).
    paths.append(os.path.dirname(PKG_DIR))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_top_level_import_uses_top_level_protocol_and_own_logger_name():
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


def test_package_import_falls_back_to_package_protocol():
    out = run("""
        import sys
        import vkl_api._kavrel_actuator_base as m
        import vkl_api._protocol as p
        assert "_protocol" not in sys.modules
        assert m.is_valid_actuator_address is p.is_valid_actuator_address
        assert m.KavrelActuatorBase().logger.name == "vkl_api._kavrel_actuator_base"
        print("ok")
    """)
    assert out.strip() == "ok"


def test_top_level_protocol_preferred_when_present(tmp_path):
    (tmp_path / "_protocol.py").write_text("def is_valid_actuator_address(address):\n    return 'shadow'\n")
    out = run("""
        import sys
        import vkl_api._kavrel_actuator_base as m
        print(m.KavrelActuatorBase.is_valid_actuator_address(16.5))
        assert "vkl_api._protocol" not in sys.modules
    """, extra_path=[str(tmp_path)])
    assert out.strip() == "shadow"


def test_missing_protocol_fails_the_import():
    out = run(BLOCKER.format(blocked=["_protocol", "vkl_api._protocol"], raise_=False) + textwrap.dedent("""
        try:
            import vkl_api._kavrel_actuator_base
        except ImportError as e:
            causes = [c for c in chain(e) if isinstance(c, ModuleNotFoundError)]
            print(type(causes[0]).__name__, causes[0].name)
        else:
            raise SystemExit("import succeeded")
        print(tried)
        assert "vkl_api._kavrel_actuator_base" not in sys.modules
    """))
    first, second = out.strip().splitlines()
    # The import fails with ImportError, caused by the second attempt, from the package.
    assert first == "ModuleNotFoundError vkl_api._protocol"
    assert second == "['_protocol', 'vkl_api._protocol']"


def test_only_top_level_missing_falls_back():
    out = run(BLOCKER.format(blocked=["_protocol"], raise_=False) + textwrap.dedent("""
        import _kavrel_actuator_base as m
        print(tried, m.KavrelActuatorBase.is_valid_actuator_address(0x10), "vkl_api._protocol" in sys.modules)
    """), top_level=True)
    assert out.strip() == "['_protocol'] True True"


def test_other_errors_of_the_first_attempt_are_not_swallowed():
    out = run(BLOCKER.format(blocked=["_protocol"], raise_=True) + textwrap.dedent("""
        try:
            import vkl_api._kavrel_actuator_base
        except Exception as e:
            print([str(c) for c in chain(e) if isinstance(c, RuntimeError)])
        else:
            raise SystemExit("import succeeded")
        print(tried, "vkl_api._protocol" in sys.modules)
    """))
    # No fallback to the package module for an error that is not an ImportError.
    assert out.strip().splitlines() == ["['broken _protocol']", "['_protocol'] False"]


@pytest.mark.parametrize("name", ["_protocol", "_transport", "_kavrel_actuator_base"])
def test_modules_are_extension_modules(name):
    import importlib
    import importlib.machinery

    mod = importlib.import_module("vkl_api." + name)
    assert mod.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert isinstance(mod.__spec__.loader, importlib.machinery.ExtensionFileLoader)
