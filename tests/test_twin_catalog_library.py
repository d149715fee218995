"""Digital-twin catalog: result types, library schema, library loading and the catalog, limits.

Library files are real YAML files in temporary directories; the memos are cleared
around every test.  The behaviour without pydantic (and without PyYAML) is checked in
a child interpreter in which those imports are blocked (import_sandbox).
"""

import dataclasses
import os
import platform
import textwrap
from pathlib import Path

import pydantic
import pytest
import yaml

import vkl_api._twin_catalog as tc

import import_sandbox

ENV = "VKL_API_VIRTUAL_ASSETS_ROOT"


@pytest.fixture(autouse=True)
def fresh_memos(tmp_path, monkeypatch):
    """Cleared memos, no env root, and the module apparently installed in tmp/ws/site."""
    site = tmp_path / "ws" / "site"
    (site / "vkl_api").mkdir(parents=True)
    monkeypatch.setattr(tc, "__file__", str(site / "vkl_api" / "_twin_catalog.so"))
    monkeypatch.delenv(ENV, raising=False)
    tc.load_actuator_library.cache_clear()
    tc._get_library_path.cache_clear()
    yield
    tc.load_actuator_library.cache_clear()
    tc._get_library_path.cache_clear()


@pytest.fixture
def linux_intel(monkeypatch):
    monkeypatch.setattr(platform, "system", lambda: "Linux")
    monkeypatch.setattr(platform, "processor", lambda: "x86_64")


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return path


# ---- result types ------------------------------------------------------------------------


def test_dtwin_paths_and_actuator_spec_are_plain_data_classes():
    assert dataclasses.is_dataclass(tc.DTwinPaths) and dataclasses.is_dataclass(tc.ActuatorSpec)
    assert [f.name for f in dataclasses.fields(tc.DTwinPaths)] == ["library", "py_bindings"]
    assert [f.name for f in dataclasses.fields(tc.ActuatorSpec)] == ["name", "dtwin_paths", "mujoco_config", "raw_spec"]
    assert tc.DTwinPaths.__doc__ == "Digital-twin library and bindings paths."
    assert tc.ActuatorSpec.__doc__ == "Specification for an actuator type loaded from the actuator library."
    assert tc.DTwinPaths.__module__ == tc.__name__ and tc.DTwinPaths.__qualname__ == "DTwinPaths"

    p = tc.DTwinPaths(Path("/l.so"), py_bindings=Path("/b.py"))
    assert p == tc.DTwinPaths(library=Path("/l.so"), py_bindings=Path("/b.py"))
    assert p != tc.DTwinPaths(None, None)
    assert repr(p) == "DTwinPaths(library=PosixPath('/l.so'), py_bindings=PosixPath('/b.py'))"
    p.library = None  # mutable
    assert p.library is None
    with pytest.raises(TypeError):
        hash(p)
    with pytest.raises(TypeError):
        _ = p < p
    with pytest.raises(TypeError):
        tc.DTwinPaths(None)

    spec = tc.ActuatorSpec("M1")
    assert (spec.name, spec.dtwin_paths, spec.mujoco_config, spec.raw_spec) == ("M1", None, None, None)
    assert spec == tc.ActuatorSpec(name="M1", dtwin_paths=None)
    with pytest.raises(TypeError):
        tc.ActuatorSpec()
    with pytest.raises(TypeError):
        hash(spec)


def test_constants():
    assert tc.SAFETY_FACTOR_PEAK_TO_STALL == 1.4
    assert tc.SAFETY_FACTOR_RATED_TO_STALL == 5.0
    assert tc.SAFETY_FACTOR_RATED_TO_MAX_SPEED == 1.2
    assert tc._RPM_TO_RAD_S == 0.10471975511965977


# ---- schema (pydantic present) --------------------------------------------------------------

SCHEMA = {
    "DTwinPlatformSpec": ["library", "py_bindings"],
    "ProductOverview": ["product_name", "description", "manufacturer", "actuator_type", "full_revision_id", "size_class"],
    "RatedOperatingPoint": ["rated_voltage_V", "rated_current_A", "rated_torque_Nm", "rated_speed_rpm",
                            "rated_efficiency_percent"],
    "PeakOperatingPoint": ["peak_torque_Nm", "current_at_peak_torque_A", "maximum_speed_rpm", "stall_torque_Nm",
                           "stall_current_A"],
    "OperatingPoints": ["rated", "peak"],
    "PerformanceSpec": ["operating_points"],
    "TemperatureThresholds": ["safe_max_C", "critical_max_C"],
    "InternalTemperatureLimits": ["motor", "pcb"],
    "SafetyLimits": ["internal_temps"],
    "GeometrySpec": ["gear_ratio", "outer_diam_mm"],
    "InertiaSpec": ["rotor_inertia_kgm2", "output_inertia_total_kgm2", "source"],
    "FrictionSpec": ["static_friction_Nm", "coulomb_friction_Nm", "viscous_friction_Nms_per_rad"],
    "PackagingConnectivity": ["total_weight_framed_kg"],
    "MechanicalSpec": ["geometry", "inertias", "friction", "packaging_connectivity"],
    "ElectricalSpec": ["rated_current_A"],
    "TechnicalSpecifications": ["performance", "safety_limits", "mechanical", "electrical"],
    "SimulationSpec": ["mujoco", "dtwin_model"],
    "ControlSpec": ["default_parameters"],
    "ActuatorLibraryEntry": ["type", "gear_ratio", "rotor_inertia", "rotor_inertia_kgm2", "nominal_torque",
                             "peak_torque", "max_velocity", "mass", "product_overview", "technical_specifications",
                             "simulation", "control"],
}


def test_schema_classes_are_pydantic_models_with_optional_fields():
    assert tc.BaseModel is pydantic.BaseModel
    assert tc.ConfigDict is pydantic.ConfigDict
    assert tc.ValidationError is pydantic.ValidationError
    assert issubclass(tc.ActuatorBaseModel, pydantic.BaseModel)
    assert tc.ActuatorBaseModel.model_config == {"extra": "allow"}
    assert len(SCHEMA) == 19
    for name, fields in SCHEMA.items():
        cls = getattr(tc, name)
        assert cls.__bases__ == (tc.ActuatorBaseModel,), name
        assert cls.__module__ == tc.__name__ and cls.__qualname__ == name
        assert list(cls.model_fields) == fields, name
        for field in cls.model_fields.values():
            assert field.default is None and not field.is_required()
    assert tc.SimulationSpec.model_fields["dtwin_model"].annotation == dict[str, tc.DTwinPlatformSpec] | None
    assert tc.RatedOperatingPoint.model_fields["rated_torque_Nm"].annotation == float | None
    assert tc.InertiaSpec.model_fields["source"].annotation == str | None


@pytest.mark.parametrize(
    "entry, valid",
    [
        ({}, True),
        ({"unknown": {"deep": [1, 2]}, "product_overview": {"extra": 1}}, True),
        ({"simulation": None, "technical_specifications": {"performance": None}}, True),
        ({"simulation": {"dtwin_model": {"beos": {"library": "x"}}}}, True),
        ({"control": {"default_parameters": {"kp": 1, "ki": 0.5, "kd": None}}}, True),
        ({"simulation": 5}, False),
        ({"gear_ratio": "fast"}, False),
        ({"simulation": {"dtwin_model": {"win64": {"library": 5}}}}, False),
        ({"simulation": {"mujoco": {1: "x"}}}, False),
    ],
)
def test_entry_validation(entry, valid):
    if valid:
        tc.ActuatorLibraryEntry.model_validate(entry)
    else:
        with pytest.raises(pydantic.ValidationError):
            tc.ActuatorLibraryEntry.model_validate(entry)


# ---- schema failures and the condensed message ------------------------------------------------


def bad_points(n_rated, n_peak):
    rated = dict(list(zip(SCHEMA["RatedOperatingPoint"], ["x"] * n_rated)))
    peak = dict(list(zip(SCHEMA["PeakOperatingPoint"], ["x"] * n_peak)))
    return {"technical_specifications": {"performance": {"operating_points": {"rated": rated, "peak": peak}}}}


@pytest.mark.parametrize("n_rated, n_peak, more", [(5, 2, "; ... (+2 more)"), (5, 0, ""), (3, 3, "; ... (+1 more)"), (1, 0, "")])
def test_schema_failure_is_condensed_and_chained(tmp_path, n_rated, n_peak, more):
    path = tmp_path / "lib.yaml"
    path.write_text(yaml.safe_dump({"good": {}, "A": bad_points(n_rated, n_peak), "B": {"mass": "x"}}))
    with pytest.raises(ValueError) as err:
        tc.load_actuator_library_data(path)
    cause = err.value.__cause__
    assert isinstance(cause, pydantic.ValidationError)
    assert err.value.__suppress_context__ and err.value.__context__ is cause
    parts = [f"{'.'.join(map(str, e['loc']))}: {e['msg']}" for e in cause.errors()]
    assert len(parts) == n_rated + n_peak
    assert str(err.value) == f"Invalid actuator 'A' in {path}: " + "; ".join(parts[:5]) + more
    assert parts[0].startswith("technical_specifications.performance.operating_points.rated.rated_voltage_V: ")


class FakeError(Exception):
    def __init__(self, items=None, text=""):
        super().__init__(text)
        self.items = items

    def errors(self):
        return self.items


@pytest.mark.parametrize(
    "exc, text",
    [
        (FakeError([{"loc": (), "msg": "top"}, {"loc": ("a", 0, "b"), "msg": "bad"}]), "top; a.0.b: bad"),
        (FakeError([{"loc": ("a",)}, {"msg": "no loc"}]), "a: invalid value; no loc"),
        (FakeError([{"loc": ("x",), "msg": 7}]), "x: 7"),
        (FakeError([]), "Invalid src"),
        (FakeError([{"loc": (i,), "msg": "m"} for i in range(6)]), "0: m; 1: m; 2: m; 3: m; 4: m; ... (+1 more)"),
        (ValueError("plain text"), "plain text"),
        (ValueError(), "Invalid src"),
    ],
)
def test_format_validation_error(exc, text):
    assert tc._format_validation_error(exc, "src") == text


def test_structural_checks(tmp_path):
    with pytest.raises(ValueError) as err:
        tc.validate_actuator_library_data({"actuators": None})
    assert str(err.value) == "Invalid actuators_library.yaml: 'actuators' must be a mapping of name -> spec"
    with pytest.raises(ValueError) as err:
        tc.validate_actuator_library_data({"A": {}, "B": None, "C": 1}, "lib")
    assert str(err.value) == "Invalid lib: actuator 'B' must map to a YAML object"
    assert err.value.__cause__ is None
    with pytest.raises(ValueError, match="^Invalid src: actuator '3' must map"):
        tc.validate_actuator_library_data({"actuators": {3: []}}, source="src")
    data = {"actuators": {"A": {"gear_ratio": "9"}}, "other": 1}
    assert tc.validate_actuator_library_data(data) is data
    assert data == {"actuators": {"A": {"gear_ratio": "9"}}, "other": 1}


# ---- loading a file -------------------------------------------------------------------------


@pytest.mark.parametrize("text", ["", "# nothing\n", "[]\n", "0\n", "false\n", "''\n", "{}\n"])
def test_empty_documents_are_empty_libraries(tmp_path, text):
    path = tmp_path / "lib.yaml"
    path.write_text(text)
    assert tc.load_actuator_library_data(path) == {}
    assert tc.load_actuator_library(path) == {}
    with pytest.raises(KeyError) as err:
        tc.get_actuator_spec("x", path)
    assert err.value.args == ("Actuator 'x' not found. Available: ",)


@pytest.mark.parametrize("text", ["[1, 2]\n", "5\n", "just text\n"])
def test_top_level_must_be_a_mapping(tmp_path, text):
    path = tmp_path / "lib.yaml"
    path.write_text(text)
    with pytest.raises(ValueError) as err:
        tc.load_actuator_library_data(str(path))
    assert str(err.value) == f"Invalid actuator library at {path}: top-level YAML must be a mapping"


def test_missing_file_and_parse_errors(tmp_path, monkeypatch):
    missing = Path("no") / "such.yaml"
    for call in (tc.load_actuator_library_data, tc.load_actuator_library):
        with pytest.raises(FileNotFoundError) as err:
            call(missing)
        assert str(err.value) == "Actuator library not found: no/such.yaml"
    (tmp_path / "dir.yaml").mkdir()
    with pytest.raises(IsADirectoryError):
        tc.load_actuator_library_data(tmp_path / "dir.yaml")
    bad = write(tmp_path / "bad.yaml", "a: [1, 2\n")
    with pytest.raises(yaml.YAMLError) as err:
        tc.load_actuator_library_data(bad)
    assert "bad.yaml" in str(err.value)
    latin = tmp_path / "latin.yaml"
    latin.write_bytes(b"name: caf\xe9\n")
    with pytest.raises(UnicodeDecodeError):
        tc.load_actuator_library_data(latin)
    # Without PyYAML a missing file is still reported as missing.
    monkeypatch.setattr(tc, "yaml", None)
    with pytest.raises(FileNotFoundError):
        tc.load_actuator_library_data(missing)
    with pytest.raises(ImportError) as err:
        tc.load_actuator_library_data(bad)
    assert str(err.value) == "PyYAML is required to load actuator library files."


def test_entries_of_both_layouts():
    flat = {"A": {}, 1: {"x": 1}, "skip": None, "list": []}
    assert list(tc.iter_actuator_library_entries(flat)) == [("A", {}), ("1", {"x": 1})]
    nested = {"actuators": {1: {}, "B": None}, "C": {}}
    assert list(tc.iter_actuator_library_entries(nested)) == [(1, {}), ("B", None)]
    # A generator: nothing happens before the first item is asked for.
    gen = tc.iter_actuator_library_entries(None)
    assert iter(gen) is gen
    with pytest.raises(AttributeError):
        next(gen)
    with pytest.raises(StopIteration):
        next(gen)
    gen = tc.iter_actuator_library_entries({"A": {}, "B": {}})
    assert next(gen) == ("A", {})
    gen.close()
    assert list(gen) == []


LIBRARY = """\
actuators:
  M1:
    type: rotary
    simulation:
      mujoco: {damping: 0.1}
      dtwin_model:
        linux64_intel: {library: twins/libM1.so, py_bindings: twins/bindings_M1.py}
        linux64_amd: {library: /opt/amd/libM1.so}
        win64: {library: twins/M1.dll}
  M2:
    simulation:
      dtwin_model:
        linux64_intel: {py_bindings: b2.py}
  M3:
    simulation:
      dtwin_model:
        linux64_intel: {library: ''}
  M4: {gear_ratio: 9}
  M5:
    simulation: null
  M6:
    simulation: {dtwin_model: null}
ignored_key: 1
"""


def test_catalog_paths_are_joined_onto_the_base_directory(tmp_path, linux_intel):
    path = write(tmp_path / "a" / "b" / "c" / "d" / "lib.yaml", LIBRARY)
    catalog = tc.load_actuator_library(path)
    base = tmp_path / "a" / "b"
    assert list(catalog) == ["M1", "M2", "M3", "M4", "M5", "M6"]
    m1 = catalog["M1"]
    assert m1.name == "M1" and m1.mujoco_config == {"damping": 0.1}
    assert m1.dtwin_paths == tc.DTwinPaths(base / "twins/libM1.so", base / "twins/bindings_M1.py")
    assert m1.raw_spec is tc.load_actuator_library_data(path)["actuators"]["M1"] or m1.raw_spec["type"] == "rotary"
    assert catalog["M2"].dtwin_paths == tc.DTwinPaths(None, base / "b2.py")
    assert catalog["M3"].dtwin_paths is None
    assert catalog["M4"] == tc.ActuatorSpec("M4", None, None, {"gear_ratio": 9})
    # Null sections count as absent.
    assert catalog["M5"].dtwin_paths is None and catalog["M5"].mujoco_config is None
    assert catalog["M6"].dtwin_paths is None and catalog["M6"].mujoco_config is None


@pytest.mark.parametrize(
    "system, processor, library",
    [
        ("Linux", "AMD EPYC", Path("/opt/amd/libM1.so")),
        ("Windows", "", "twins/M1.dll"),
        ("Darwin", "", None),
    ],
)
def test_catalog_takes_the_entry_of_the_running_platform(tmp_path, monkeypatch, system, processor, library):
    monkeypatch.setattr(platform, "system", lambda: system)
    monkeypatch.setattr(platform, "processor", lambda: processor)
    monkeypatch.setattr(platform, "machine", lambda: "x86_64")
    path = write(tmp_path / "x" / "y" / "z" / "lib.yaml", LIBRARY)
    paths = tc.get_actuator_spec("M1", path).dtwin_paths
    if library is None:
        assert paths is None
    else:
        expected = library if isinstance(library, Path) else tmp_path / "x" / library
        assert paths == tc.DTwinPaths(expected, None)


def test_base_directory_follows_links(tmp_path, linux_intel):
    real = write(tmp_path / "real" / "p" / "q" / "lib.yaml", LIBRARY)
    (tmp_path / "elsewhere" / "deep").mkdir(parents=True)
    (tmp_path / "elsewhere" / "deep" / "lib.yaml").symlink_to(real)
    spec = tc.get_actuator_spec("M2", tmp_path / "elsewhere" / "deep" / "lib.yaml")
    assert spec.dtwin_paths.py_bindings == tmp_path / "real" / "b2.py"


def test_lookup_failure_lists_sorted_names(tmp_path):
    path = write(tmp_path / "lib.yaml", "zeta: {}\nAlpha: {}\nbeta: {}\n7: {}\n")
    with pytest.raises(KeyError) as err:
        tc.get_actuator_spec("alpha", path)
    assert err.value.args == ("Actuator 'alpha' not found. Available: 7, Alpha, beta, zeta",)
    assert tc.get_actuator_spec("7", path).name == "7"
    assert tc.list_available_actuators(path) == ["zeta", "Alpha", "beta", "7"]


def test_validation_stops_at_the_first_bad_entry(tmp_path):
    path = write(tmp_path / "lib.yaml", "actuators:\n  ok: {}\n  first: {mass: heavy}\n  second: 3\n")
    with pytest.raises(ValueError, match=r"^Invalid actuator 'first' in .*lib\.yaml: mass: "):
        tc.load_actuator_library(path)


# ---- memos ------------------------------------------------------------------------------------


def test_catalog_memo_is_keyed_by_the_argument_as_passed(tmp_path):
    path = write(tmp_path / "data" / "assets" / "actuators" / "actuators_library.yaml", "A: {}\n")
    os.environ[ENV] = str(tmp_path)
    try:
        first = tc.load_actuator_library(path)
        assert tc.load_actuator_library(path) is first
        assert tc.get_actuator_spec("A", path) is first["A"]
        assert tc.load_actuator_library(str(path)) is not first
        assert tc.load_actuator_library(library_path=path) is not first
        default = tc.load_actuator_library()
        none_pos = tc.load_actuator_library(None)
        none_kw = tc.load_actuator_library(library_path=None)
        assert default == none_pos == none_kw == first
        assert len({id(default), id(none_pos), id(none_kw)}) == 3
        # get_actuator_spec and list_available_actuators share the positional None entry.
        assert tc.get_actuator_spec("A") is none_pos["A"]
        assert tc.load_actuator_library.cache_info().currsize == 6
    finally:
        del os.environ[ENV]


def test_memo_results_are_shared_and_never_invalidated(tmp_path):
    path = write(tmp_path / "lib.yaml", "A: {x: 1}\n")
    spec = tc.get_actuator_spec("A", path)
    spec.raw_spec["x"] = 2
    path.write_text("B: {}\n")
    assert tc.get_actuator_spec("A", path).raw_spec == {"x": 2}
    with pytest.raises(KeyError):
        tc.get_actuator_spec("B", path)


def test_memo_holds_eight_least_recently_used_results(tmp_path):
    paths = [write(tmp_path / f"l{i}.yaml", "A: {}\n") for i in range(9)]
    results = [tc.load_actuator_library(p) for p in paths[:8]]
    assert tc.load_actuator_library(paths[0]) is results[0]  # now the most recent
    tc.load_actuator_library(paths[8])  # evicts paths[1]
    assert tc.load_actuator_library(paths[0]) is results[0]
    assert all(tc.load_actuator_library(p) is r for p, r in zip(paths[2:8], results[2:8]))
    assert tc.load_actuator_library(paths[1]) is not results[1]


def test_a_failed_load_is_not_remembered(tmp_path):
    path = tmp_path / "lib.yaml"
    with pytest.raises(FileNotFoundError):
        tc.load_actuator_library(path)
    path.write_text("A: 5\n")
    with pytest.raises(ValueError):
        tc.load_actuator_library(path)
    path.write_text("A: {}\n")
    assert list(tc.load_actuator_library(path)) == ["A"]


def test_default_library_path_is_found_once(tmp_path, monkeypatch):
    with pytest.raises(FileNotFoundError, match="^Could not find a project root with data/assets"):
        tc._get_library_path()
    first = tmp_path / "first"
    write(first / "data" / "assets" / "actuators" / "actuators_library.yaml", "F: {}\n")
    monkeypatch.setenv(ENV, str(first))
    found = tc._get_library_path()
    assert found == first / "data" / "assets" / "actuators" / "actuators_library.yaml"
    second = tmp_path / "second"
    write(second / "data" / "assets" / "actuators" / "actuators_library.yaml", "S: {}\n")
    monkeypatch.setenv(ENV, str(second))
    assert tc._get_library_path() is found
    assert list(tc.load_actuator_library()) == ["F"]


# ---- listing -------------------------------------------------------------------------------------


def test_listing_prefers_the_artifacts_on_disk(tmp_path, monkeypatch):
    lib = write(tmp_path / "proj" / "data" / "assets" / "actuators" / "actuators_library.yaml", "Z: {}\nA: {}\n")
    monkeypatch.setenv(ENV, str(tmp_path / "proj"))
    # No bindings root: the default library, in file order.
    assert tc.list_available_actuators() == ["Z", "A"]
    bindings = tmp_path / "proj" / "assets" / "actuators" / "digital_twin_libs_bindings_1"
    bindings.mkdir(parents=True)
    (bindings / "bindings_x.py").touch()
    (bindings / "libnothing").touch()
    lib.unlink()  # the library is not looked at when a bindings root exists
    assert tc.list_available_actuators() == []
    (bindings / "libQ_AMD_x.so").touch()
    (bindings / "libB_Intel_x.so").touch()
    assert tc.list_available_actuators() == ["B", "Q"]
    assert tc.list_available_actuators(None) == ["B", "Q"]


def test_listing_passes_other_failures_out(tmp_path, monkeypatch):
    def broken(bindings_root=None):
        raise PermissionError("denied")

    monkeypatch.setattr(tc, "list_available_dtwin_artifacts", broken)
    with pytest.raises(PermissionError):
        tc.list_available_actuators()
    with pytest.raises(FileNotFoundError, match="^Could not find a project root"):
        monkeypatch.setattr(tc, "list_available_dtwin_artifacts", lambda: (_ for _ in ()).throw(FileNotFoundError()))
        tc.list_available_actuators()


# ---- limits --------------------------------------------------------------------------------------


def points(rated=None, peak=None):
    op = {}
    if rated is not None:
        op["rated"] = rated
    if peak is not None:
        op["peak"] = peak
    return {"technical_specifications": {"performance": {"operating_points": op}}}


@pytest.mark.parametrize(
    "raw, torque, speed",
    [
        ({}, None, None),
        (points(), None, None),
        ({"technical_specifications": {"performance": {"operating_points": {"rated": None, "peak": None}}}}, None, None),
        (points(peak={"stall_torque_Nm": 0, "peak_torque_Nm": 10}), 0.0, None),
        (points(peak={"stall_torque_Nm": None, "peak_torque_Nm": 10}), 14.0, None),
        (points(rated={"rated_torque_Nm": 2}), 10.0, None),
        (points(peak={"maximum_speed_rpm": 60}), None, 6.283185307179586),
        (points(peak={"maximum_speed_rpm": 3000}), None, 314.1592653589793),
        (points(rated={"rated_speed_rpm": 100}), None, 12.566370614359172),
        (points(rated={"rated_speed_rpm": 100}, peak={"maximum_speed_rpm": None}), None, 12.566370614359172),
        (points(peak={"stall_torque_Nm": "12.5"}), 12.5, None),
        (points(peak={"stall_torque_Nm": " 3 "}), 3.0, None),
        (points(peak={"stall_torque_Nm": True}), 1.0, None),
        (points(peak={"peak_torque_Nm": -1}), -1.4, None),
        (points(rated=[], peak={}), None, None),
        (points(rated={"rated_torque_Nm": 3}, peak={"stall_torque_Nm": 7.5}), 7.5, None),
    ],
)
def test_limit_derivation(raw, torque, speed):
    t, s = tc.resolve_torque_limit(raw), tc.resolve_speed_limit(raw_spec=raw)
    assert t == torque and s == speed
    assert t is None or type(t) is float
    assert s is None or type(s) is float


def test_rated_speed_is_multiplied_in_two_steps():
    assert tc.resolve_speed_limit(points(rated={"rated_speed_rpm": 100})) != 100 * (1.2 * 0.10471975511965977)


def test_limit_constants_are_read_at_call_time(monkeypatch):
    monkeypatch.setattr(tc, "SAFETY_FACTOR_PEAK_TO_STALL", 2.0)
    assert tc.resolve_torque_limit(points(peak={"peak_torque_Nm": 10})) == 20.0


@pytest.mark.parametrize(
    "raw, error",
    [
        (None, TypeError),
        ([], TypeError),
        ({"technical_specifications": None}, AttributeError),
        ({"technical_specifications": {"performance": 5}}, AttributeError),
        (points(peak=[1]), AttributeError),
        (points(peak={"stall_torque_Nm": "high"}), ValueError),
        (points(peak={"stall_torque_Nm": [1]}), TypeError),
    ],
)
def test_limit_errors_propagate(raw, error):
    with pytest.raises(error):
        tc.resolve_torque_limit(raw)
    if raw is None:
        with pytest.raises(TypeError) as err:
            tc.resolve_speed_limit(raw)
        assert str(err.value) == "Argument 'raw_spec' has incorrect type (expected dict, got NoneType)"


def test_a_non_mapping_rated_point_is_only_consulted_when_reached():
    raw = points(rated=[1], peak={"stall_torque_Nm": 4, "maximum_speed_rpm": 60})
    assert tc.resolve_torque_limit(raw) == 4.0
    assert tc.resolve_speed_limit(raw) == 6.283185307179586
    with pytest.raises(AttributeError):
        tc.resolve_torque_limit(points(rated=[1]))


# ---- without pydantic and PyYAML ---------------------------------------------------------------

def run_child(blocked, library, body):
    # The child's module comes from the same place as this process's, so a
    # blocked dependency is the only difference.
    return import_sandbox.run(
        f"import vkl_api._twin_catalog as tc\nlibrary = {str(library)!r}\n" + textwrap.dedent(body),
        blocked=[blocked],
    )


def test_without_pydantic_the_module_brings_its_own_schema_base(tmp_path):
    library = write(tmp_path / "lib.yaml", "actuators:\n  A: {gear_ratio: fast, simulation: 5}\n  B: {}\n")
    run_child(
        "pydantic",
        library,
        """
        import dataclasses
        assert "pydantic" not in sys.modules
        assert issubclass(tc.ValidationError, ValueError) and not hasattr(tc.ValidationError, "errors")
        assert tc.ConfigDict(extra="allow") == {"extra": "allow"}
        d1, d2 = tc.ConfigDict(), tc.ConfigDict()
        assert d1 == {} and d1 is not d2
        try:
            tc.ConfigDict({"extra": "allow"})
        except TypeError:
            pass
        else:
            raise AssertionError("positional argument accepted")
        assert tc.BaseModel.model_config == {}
        assert tc.ActuatorBaseModel.model_config == {"extra": "allow"}
        assert tc.ActuatorLibraryEntry.__bases__ == (tc.ActuatorBaseModel,)
        assert tc.ActuatorBaseModel.__bases__ == (tc.BaseModel,)
        assert tc.ActuatorLibraryEntry.simulation is None and tc.RatedOperatingPoint.rated_torque_Nm is None
        entry = {"gear_ratio": "fast", "simulation": 5}
        assert tc.ActuatorLibraryEntry.model_validate(entry) is entry
        class Sub(dict):
            pass
        sub = Sub()
        assert tc.SimulationSpec.model_validate(sub) is sub
        try:
            tc.ActuatorLibraryEntry.model_validate([1])
        except tc.ValidationError as e:
            assert str(e) == "ActuatorLibraryEntry expects a mapping" and e.__cause__ is None
        else:
            raise AssertionError("list accepted")
        # Only the structural checks apply: wrong field types load.
        data = tc.load_actuator_library_data(library)
        assert data["actuators"]["A"]["gear_ratio"] == "fast"
        assert tc._format_validation_error(tc.ValidationError("plain"), "s") == "plain"
        assert tc._format_validation_error(tc.ValidationError(), "s") == "Invalid s"
        assert dataclasses.is_dataclass(tc.DTwinPaths)
        assert tc.resolve_torque_limit({"technical_specifications": {"performance": {"operating_points": {"rated": {"rated_torque_Nm": 2}}}}}) == 10.0
        print("ok")
        """,
    )


def test_without_pyyaml_loading_fails_only_for_an_existing_file(tmp_path):
    library = write(tmp_path / "lib.yaml", "A: {}\n")
    run_child(
        "yaml",
        library,
        """
        assert tc.yaml is None
        try:
            tc.load_actuator_library(library + ".missing")
        except FileNotFoundError as e:
            assert str(e) == "Actuator library not found: " + library + ".missing"
        else:
            raise AssertionError("a missing file loaded without PyYAML")
        try:
            tc.get_actuator_spec("A", library)
        except ImportError as e:
            assert str(e) == "PyYAML is required to load actuator library files."
        else:
            raise AssertionError("loaded without PyYAML")
        # The failure is not remembered.
        assert tc.load_actuator_library.cache_info().currsize == 0
        """,
    )
