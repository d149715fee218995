"""Simulated actuator: choosing the twin by model name, through the artifact search and
through an actuator library file, on real files (copies of the reference twin's artifacts
and YAML library files in temporary directories)."""

import shutil
import textwrap
from pathlib import Path

import pytest

import vkl_api._twin_catalog as tc
from vkl_api._twin_engine import ActuatorWrapper
from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual
from virtual_support import REF_MODEL, RecordingTwin, ref_paths

ENV = "VKL_API_VIRTUAL_ASSETS_ROOT"


@pytest.fixture
def bindings_root(tmp_path, ref_paths):
    """A bindings root holding the reference twin's artifacts under the model name M1."""
    root = tmp_path / "bindings"
    root.mkdir()
    target = tc.platform_artifact_targets()[0]
    shutil.copy2(ref_paths.library, root / f"libM1_{target}{ref_paths.library.suffix}")
    shutil.copy2(ref_paths.py_bindings, root / f"bindings_M1_{target}.py")
    return root


@pytest.fixture
def library_file(tmp_path, ref_paths):
    """An actuator library file at base/x/y/lib.yaml (its relative paths start at base)."""
    base = tmp_path / "base"
    (base / "x" / "y").mkdir(parents=True)
    (base / "twin").mkdir()
    shutil.copy2(ref_paths.library, base / "twin" / ref_paths.library.name)
    shutil.copy2(ref_paths.py_bindings, base / "twin" / ref_paths.py_bindings.name)
    (base / "twin" / "broken.txt").write_text("not python")
    key = tc._get_platform_key()
    lib, bind = ref_paths.library, ref_paths.py_bindings
    text = textwrap.dedent(f"""\
        actuators:
          m1:
            type: rotary
            simulation:
              dtwin_model:
                {key}:
                  library: {lib}
                  py_bindings: {bind}
          relative:
            simulation:
              dtwin_model:
                {key}:
                  library: twin/{lib.name}
                  py_bindings: twin/{bind.name}
          nopaths:
            type: rotary
          onlylib:
            simulation:
              dtwin_model:
                {key}:
                  library: twin/{lib.name}
          otherplatform:
            simulation:
              dtwin_model:
                not_this_platform:
                  library: twin/{lib.name}
                  py_bindings: twin/{bind.name}
          nolib:
            simulation:
              dtwin_model:
                {key}:
                  library: twin/missing.so
                  py_bindings: twin/missing.py
          nobind:
            simulation:
              dtwin_model:
                {key}:
                  library: twin/{lib.name}
                  py_bindings: twin/missing.py
          broken:
            simulation:
              dtwin_model:
                {key}:
                  library: twin/{lib.name}
                  py_bindings: twin/broken.txt
        """)
    path = base / "x" / "y" / "lib.yaml"
    path.write_text(text)
    return path


def test_set_actuator_by_artifact_search(bindings_root):
    a = KavrelActuatorVirtual(address=0x11)
    w = a.set_actuator("M1", bindings_root=bindings_root)
    assert isinstance(w, ActuatorWrapper) and a.actuator is w
    assert a.model == "M1" and a._configured_model_name == "M1"
    assert w.get_address() == 0x11 and a.telemetry_log.TIME_STEP == w.get_sim_time_step_s()
    a.connect()
    a.step(steps=10)
    assert len(a.telemetry_log.time) == 10
    a.disconnect()


def test_reference_twin_by_model_name():
    a = KavrelActuatorVirtual()
    a.set_actuator(REF_MODEL)
    assert a.model == REF_MODEL and isinstance(a.actuator, ActuatorWrapper)
    assert REF_MODEL in KavrelActuatorVirtual.discover_available_actuators(None)


def test_set_actuator_missing_artifacts_changes_nothing(bindings_root):
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    with pytest.raises(FileNotFoundError, match=r"^No DTwin artifacts found for 'NOPE' on this platform"):
        a.set_actuator("NOPE", bindings_root=bindings_root)
    assert a.actuator is twin and a.model == "FAKE_MOTOR" and a._configured_model_name is None


@pytest.mark.parametrize("bad, tname", [(None, "NoneType"), (1, "int"), (Path("M1"), "PosixPath")])
def test_model_name_must_be_text(monkeypatch, bad, tname):
    def fail(*a):
        raise AssertionError("catalog called")

    import vkl_api.kavrel_actuator_virtual as vmod

    monkeypatch.setattr(vmod, "resolve_dtwin_artifacts", fail)
    monkeypatch.setattr(vmod, "get_actuator_spec", fail)
    with pytest.raises(TypeError, match=rf"^Argument 'model_name' has incorrect type \(expected str, got {tname}\)$"):
        KavrelActuatorVirtual().set_actuator(bad)


@pytest.mark.parametrize("library, bindings", [(None, Path("/b.py")), (Path("/l.so"), None), (None, None)])
def test_incomplete_search_result(monkeypatch, library, bindings):
    import vkl_api.kavrel_actuator_virtual as vmod

    seen = []

    def resolve(model_name, bindings_root):
        seen.append((model_name, bindings_root))
        return tc.DTwinPaths(library, bindings)

    monkeypatch.setattr(vmod, "resolve_dtwin_artifacts", resolve)
    a = KavrelActuatorVirtual()
    with pytest.raises(ValueError, match=r"^Actuator 'm1' has incomplete digital-twin paths$"):
        a.set_actuator("m1", bindings_root="/root")
    assert seen == [("m1", "/root")] and a.actuator is None and a.model == "virtual"


def test_search_road_passes_found_paths_by_keyword(monkeypatch):
    import vkl_api.kavrel_actuator_virtual as vmod

    seen = []

    class Spy(KavrelActuatorVirtual):
        def set_actuator_from_paths(self, **kwargs):
            seen.append((self.model, kwargs))
            return "bound"

    monkeypatch.setattr(vmod, "resolve_dtwin_artifacts",
                        lambda name, root: tc.DTwinPaths(Path("/l.so"), Path("/b.py")))
    assert Spy().set_actuator("m9") == "bound"
    assert seen == [("m9", {"library_path": Path("/l.so"), "bindings_path": Path("/b.py")})]


# ---- through an actuator library file ---------------------------------------------------------


@pytest.mark.parametrize("name", ["m1", "relative"])
def test_set_actuator_from_a_library_file(library_file, ref_paths, name):
    a = KavrelActuatorVirtual()
    w = a.set_actuator(name, library_path=library_file, bindings_root="/no/such/root")
    assert isinstance(w, ActuatorWrapper) and a.actuator is w and a.model == name
    a.connect()
    a.step()
    a.disconnect()


@pytest.mark.parametrize(
    "name, exc, message",
    [("nopaths", ValueError, r"^Actuator 'nopaths' has no digital-twin paths$"),
     ("otherplatform", ValueError, r"^Actuator 'otherplatform' has no digital-twin paths$"),
     ("onlylib", ValueError, r"^Actuator 'onlylib' has incomplete digital-twin paths$"),
     ("nolib", FileNotFoundError, r"^Library not found: .*twin/missing\.so$"),
     ("nobind", FileNotFoundError, r"^Bindings not found: .*twin/missing\.py$"),
     ("absent", KeyError, r"Actuator 'absent' not found\. Available: "),
     ],
)
def test_library_file_refusals_change_nothing(library_file, name, exc, message):
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    with pytest.raises(exc, match=message):
        a.set_actuator(name, library_file)
    assert a.actuator is twin and a._configured_model_name is None and a.model == "FAKE_MOTOR"


def test_missing_library_file(tmp_path):
    with pytest.raises(FileNotFoundError, match=r"^Actuator library not found: "):
        KavrelActuatorVirtual().set_actuator("m1", tmp_path / "none.yaml")


def test_name_is_set_before_a_failing_binding(library_file):
    twin = RecordingTwin()
    a = KavrelActuatorVirtual(twin)
    with pytest.raises(ImportError, match=r"^Could not load digital-twin bindings from "):
        a.set_actuator("broken", str(library_file))
    assert a.actuator is twin and a.model == "broken"


def test_library_road_passes_spec_paths_by_keyword(monkeypatch, tmp_path):
    import vkl_api.kavrel_actuator_virtual as vmod

    lib, bind = tmp_path / "l.so", tmp_path / "b.py"
    lib.touch()
    bind.touch()
    calls = []

    def spec(name, library_path):
        calls.append((name, library_path))
        return tc.ActuatorSpec(name, tc.DTwinPaths(lib, bind))

    class Spy(KavrelActuatorVirtual):
        def set_actuator_from_paths(self, **kwargs):
            calls.append(kwargs)
            return "bound"

    monkeypatch.setattr(vmod, "get_actuator_spec", spec)
    assert Spy().set_actuator("m2", "lib.yaml", "ignored") == "bound"
    assert calls == [("m2", "lib.yaml"), {"library_path": lib, "bindings_path": bind}]


# ---- discovery ----------------------------------------------------------------------------------


def test_discover_lists_sorted_models(tmp_path, ref_paths, monkeypatch):
    monkeypatch.setattr(tc, "__file__", str(tmp_path / "site" / "vkl_api" / "_twin_catalog.so"))
    monkeypatch.delenv(ENV, raising=False)
    root = tmp_path / "root"
    root.mkdir()
    target = tc.platform_artifact_targets()[0]
    for model in ("ZED", "ALPHA"):
        (root / f"lib{model}_{target}.so").touch()
        (root / f"bindings_{model}_{target}.py").touch()
    assert KavrelActuatorVirtual.discover_available_actuators(root) == ["ALPHA", "ZED"]
    assert KavrelActuatorVirtual.discover_available_actuators(str(root)) == ["ALPHA", "ZED"]


def test_discover_without_any_bindings_root_gives_an_empty_list(tmp_path, monkeypatch):
    monkeypatch.setattr(tc, "__file__", str(tmp_path / "site" / "vkl_api" / "_twin_catalog.so"))
    monkeypatch.delenv(ENV, raising=False)
    first = KavrelActuatorVirtual.discover_available_actuators(tmp_path / "nothing")
    second = KavrelActuatorVirtual.discover_available_actuators(tmp_path / "nothing")
    assert first == [] and second == [] and first is not second


def test_discover_passes_other_errors(monkeypatch):
    import vkl_api.kavrel_actuator_virtual as vmod

    def boom(path):
        raise PermissionError("denied")

    monkeypatch.setattr(vmod, "list_available_dtwin_artifacts", boom)
    with pytest.raises(PermissionError):
        KavrelActuatorVirtual.discover_available_actuators("/x")

    class Missing(FileNotFoundError):
        pass

    def missing(path):
        raise Missing("none")

    monkeypatch.setattr(vmod, "list_available_dtwin_artifacts", missing)
    assert KavrelActuatorVirtual().discover_available_actuators("/x") == []
