"""Type stubs: installed with the package, regenerated identically from the modules under test,
and held to the modules by stubtest, which reports a stub that differs."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vkl_api
import vkl_api._protocol
import vkl_api._twin_catalog
import vkl_api.kavrel_actuator_real
import vkl_api.kavrel_cli

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / "tools"
SOURCE = ROOT / "src" / "vkl_api"
PACKAGE = Path(vkl_api.__path__[0])
MODULES = sorted(p.stem for p in SOURCE.glob("*.cpp"))


def run_tool(script, *args, package_parent, cwd):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    # An installed package is found where it is; naming site-packages on the path
    # would make mypy take every module there for a module of the user's own.
    if package_parent.name != "site-packages":
        env["PYTHONPATH"] = str(package_parent)
    return subprocess.run([sys.executable, str(TOOLS / script), *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=600)


def test_every_module_has_its_stub_installed_with_the_marker():
    assert len(MODULES) == 10
    assert (PACKAGE / "py.typed").is_file()
    for name in MODULES:
        assert (PACKAGE / f"{name}.pyi").read_text() == (SOURCE / f"{name}.pyi").read_text(), name


def test_regenerating_from_the_modules_gives_the_committed_stubs(tmp_path):
    proc = run_tool("gen_stubs.py", "--check", str(SOURCE), package_parent=PACKAGE.parent, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stubtest_finds_no_difference(tmp_path):
    proc = run_tool("run_stubtest.py", package_parent=PACKAGE.parent, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found" in proc.stdout


# (stub file, text in the stub, replacement, what stubtest must name)
WRONG_STUBS = [
    # a nanobind function: argument renamed
    ("_protocol.pyi", "def is_valid_vkl_address(can_id)", "def is_valid_vkl_address(address)",
     "vkl_api._protocol.is_valid_vkl_address"),
    # a wrapped method: default changed
    ("kavrel_actuator_real.pyi", "def connect(self, timeout: float = 1.0)", "def connect(self, timeout: float = 2.0)",
     "vkl_api.kavrel_actuator_real.KavrelActuatorReal.connect"),
    # an enumeration member left out
    ("_kavrel_actuator_base.pyi", "        RATE_1KHZ = 20\n", "",
     "vkl_api._kavrel_actuator_base.KavrelActuatorBase.Rates.RATE_1KHZ"),
    # a module constant that does not exist
    ("_vkl.pyi", "logger: logging.Logger\n", "logger: logging.Logger\nVKL_NO_SUCH_CONSTANT: int\n",
     "vkl_api._vkl.VKL_NO_SUCH_CONSTANT"),
]


def test_stubtest_reports_stubs_that_differ_from_the_modules(tmp_path):
    copy = tmp_path / "vkl_api"
    shutil.copytree(PACKAGE, copy, symlinks=False, ignore=shutil.ignore_patterns("__pycache__"))
    for fname, old, new, _ in WRONG_STUBS:
        path = copy / fname
        text = path.read_text()
        assert old in text, (fname, old)
        path.write_text(text.replace(old, new, 1))
    proc = run_tool("run_stubtest.py", package_parent=tmp_path, cwd=tmp_path)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    reported = {line.split()[1] for line in proc.stdout.splitlines() if line.startswith("error: ")}
    assert reported == {name for *_, name in WRONG_STUBS}, proc.stdout


@pytest.mark.parametrize("fn, module", [
    (vkl_api.kavrel_cli.main, "vkl_api.kavrel_cli"),
    (vkl_api._twin_catalog.resolve_dtwin_artifacts, "vkl_api._twin_catalog"),
    (vkl_api.kavrel_actuator_real.KavrelActuatorReal.connect, "vkl_api.kavrel_actuator_real"),
])
def test_function_type_names_its_module_as_text_and_functions_keep_their_own(fn, module):
    assert type(type(fn).__module__) is str and type(fn).__module__ == "vkl_api"
    assert fn.__module__ == module


def test_function_module_can_be_replaced_and_deleted():
    fn = vkl_api.kavrel_cli.command_scan
    try:
        fn.__module__ = "elsewhere"
        assert fn.__module__ == "elsewhere" and type(fn).__module__ == "vkl_api"
        del fn.__module__
        with pytest.raises(AttributeError):
            fn.__module__
        with pytest.raises(AttributeError):
            del fn.__module__
    finally:
        fn.__module__ = "vkl_api.kavrel_cli"
    assert fn.__module__ == "vkl_api.kavrel_cli"


def enum_members_in_stub(text, qualname):
    """{member: value} of the class at qualname ("A.B") in a stub's text."""
    import ast

    body = ast.parse(text).body
    for part in qualname.split("."):
        node = next(n for n in body if isinstance(n, ast.ClassDef) and n.name == part)
        body = node.body
    return {n.targets[0].id: ast.literal_eval(n.value) for n in body if isinstance(n, ast.Assign)}


@pytest.mark.parametrize("enum_name", ["Mode", "Rates", "TorquePerformance", "SpeedPerformance", "_VKL_Actions",
                                       "VKL_Parameters", "VKL_Items", "_VKL_Other"])
def test_stub_enumerations_hold_every_member_with_its_wire_value(enum_name):
    # stubtest checks that members exist, not their values
    from vkl_api._kavrel_actuator_base import KavrelActuatorBase

    runtime = getattr(KavrelActuatorBase, enum_name)
    stub = enum_members_in_stub((SOURCE / "_kavrel_actuator_base.pyi").read_text(), f"KavrelActuatorBase.{enum_name}")
    assert stub == {name: member.value for name, member in runtime.__members__.items()}
