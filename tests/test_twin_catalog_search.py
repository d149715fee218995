"""Digital-twin catalog: platform targets, asset-root search, artifact resolution and discovery.

Every test runs on a real temporary directory tree.  The module's own location is
moved into the temporary directory (its ``__file__`` is read at call time), so
artifacts installed next to the package never take part in a search.
"""

import os
import platform
import re
from pathlib import Path

import pytest

import vkl_api._twin_catalog as tc

ENV = "VKL_API_VIRTUAL_ASSETS_ROOT"
LINUX_INTEL = "Intel_x8664Linux64"
LINUX_AMD = "AMD_x8664Linux64"
BINDINGS_MSG = (
    "Could not find DTwin bindings. Set VKL_API_VIRTUAL_ASSETS_ROOT, pass a bindings root, or keep "
    "artifacts under assets/actuators/digital_twin_libs_bindings_<version>. Searched: "
)
PROJECT_MSG = (
    "Could not find a project root with data/assets. Set VKL_API_VIRTUAL_ASSETS_ROOT or pass "
    "library_path explicitly. Searched: "
)


@pytest.fixture
def ws(tmp_path, monkeypatch):
    """An isolated workspace: the module appears to live in ws/site/vkl_api; no env root."""
    root = tmp_path / "ws"
    (root / "site" / "vkl_api").mkdir(parents=True)
    monkeypatch.setattr(tc, "__file__", str(root / "site" / "vkl_api" / "_twin_catalog.so"))
    monkeypatch.delenv(ENV, raising=False)
    return root


@pytest.fixture
def linux_intel(monkeypatch):
    monkeypatch.setattr(platform, "system", lambda: "Linux")
    monkeypatch.setattr(platform, "machine", lambda: "x86_64")
    monkeypatch.setattr(tc, "_cpu_vendor", lambda: "Intel")


def touch(directory, *names):
    directory.mkdir(parents=True, exist_ok=True)
    for name in names:
        (directory / name).touch()
    return directory


def artifact_root(directory, model="M1", target=LINUX_INTEL, ext="so"):
    return touch(directory, f"bindings_{model}_{target}.py", f"lib{model}_{target}.{ext}")


# ---- platform detection and artifact targets ---------------------------------------------


@pytest.mark.parametrize(
    "system, machine, vendor, targets",
    [
        ("Linux", "x86_64", "AMD", [LINUX_AMD, LINUX_INTEL]),
        ("Linux", "x86_64", "Intel", [LINUX_INTEL, LINUX_AMD]),
        ("Linux", "x86_64", None, [LINUX_INTEL, LINUX_AMD]),
        ("Linux", "aarch64", "AMD", ["ARMCompatible_ARM64bitLP64"]),
        ("Linux", "armv7l", None, ["ARMCompatible_ARM64bitLP64"]),
        ("Darwin", "arm64", None, ["Apple_ARM64"]),
        ("Darwin", "x86_64", "Intel", ["Intel_x8664macOS"]),
        ("Windows", "AMD64", None, ["Intel_x8664Windows64", "AMD_x8664Windows64"]),
        ("Windows", "AMD64", "AMD", ["AMD_x8664Windows64", "Intel_x8664Windows64"]),
        ("Windows", "ARM64", None, ["ARMCompatible_ARM64bitLP64"]),
        ("Windows", "aarch64", None, ["Intel_x8664Windows64", "AMD_x8664Windows64"]),
    ],
)
def test_artifact_targets_follow_system_machine_and_vendor(monkeypatch, system, machine, vendor, targets):
    monkeypatch.setattr(platform, "system", lambda: system)
    monkeypatch.setattr(platform, "machine", lambda: machine)
    monkeypatch.setattr(tc, "_cpu_vendor", lambda: vendor)
    first = tc.platform_artifact_targets()
    assert first == targets
    assert tc.platform_artifact_targets() is not first


@pytest.mark.parametrize(
    "system, machine, text",
    [
        ("FreeBSD", "amd64", "Unsupported platform: FreeBSD / amd64"),
        ("linux", "X86_64", "Unsupported platform: linux / x86_64"),
    ],
)
def test_unsupported_system_raises_but_the_platform_key_falls_back(monkeypatch, system, machine, text):
    monkeypatch.setattr(platform, "system", lambda: system)
    monkeypatch.setattr(platform, "machine", lambda: machine)
    monkeypatch.setattr(platform, "processor", lambda: "")
    with pytest.raises(RuntimeError) as err:
        tc.platform_artifact_targets()
    assert str(err.value) == text
    assert tc._get_platform_key() == "linux64_intel"


def _broken():
    raise OSError("no processor query here")


@pytest.mark.parametrize(
    "system, machine, processor, key",
    [
        ("Linux", "x86_64", "AMD Ryzen 9", "linux64_amd"),
        ("Linux", "x86_64", "x86_64 amd-ish", "linux64_amd"),
        ("Linux", "x86_64", "", "linux64_intel"),
        ("Linux", "aarch64", "", "linux64_intel"),
        ("Linux", "x86_64", _broken, "linux64_intel"),
        ("Linux", "x86_64", None, "linux64_intel"),  # None.lower() fails: swallowed
        ("LINUX", "x86_64", "amd", "linux64_amd"),
        ("Darwin", "arm64", "", "macos_arm"),
        ("Darwin", "ARM64", "", "macos_arm"),
        ("Darwin", "x86_64", "", "macos_intel"),
        ("Darwin", _broken, "", "macos_intel"),
        ("Windows", "AMD64", "AMD64 Family 25", "win64"),
        ("SunOS", "sparc", "", "linux64_intel"),
    ],
)
def test_platform_key(monkeypatch, system, machine, processor, key):
    monkeypatch.setattr(platform, "system", lambda: system)
    monkeypatch.setattr(platform, "machine", machine if callable(machine) else (lambda: machine))
    monkeypatch.setattr(platform, "processor", processor if callable(processor) else (lambda: processor))
    assert tc._get_platform_key() == key


def test_platform_key_lets_interrupts_through(monkeypatch):
    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.setattr(platform, "system", lambda: "Linux")
    monkeypatch.setattr(platform, "processor", interrupted)
    with pytest.raises(KeyboardInterrupt):
        tc._get_platform_key()


def test_cpu_vendor_reads_the_processor_information_file():
    info = Path("/proc/cpuinfo")
    if not info.exists():
        assert tc._cpu_vendor() is None
        return
    text = info.read_text(errors="ignore")
    expected = "AMD" if "AuthenticAMD" in text else "Intel" if "GenuineIntel" in text else None
    assert tc._cpu_vendor() == expected


def test_targets_use_the_real_vendor_on_this_machine(monkeypatch):
    monkeypatch.setattr(platform, "system", lambda: "Linux")
    monkeypatch.setattr(platform, "machine", lambda: "x86_64")
    vendor = tc._cpu_vendor()
    expected = [LINUX_AMD, LINUX_INTEL] if vendor == "AMD" else [LINUX_INTEL, LINUX_AMD]
    assert tc.platform_artifact_targets() == expected


# ---- project-root search ------------------------------------------------------------


def test_project_roots_are_env_package_and_workspace_in_order(ws, tmp_path, monkeypatch):
    site = ws / "site"
    assert tc._candidate_project_roots() == [site, ws]
    monkeypatch.setenv(ENV, "")
    assert tc._candidate_project_roots() == [site, ws]
    monkeypatch.setenv(ENV, str(tmp_path / "assets" / ".." / "assets"))
    assert tc._candidate_project_roots() == [tmp_path / "assets", site, ws]
    monkeypatch.setenv(ENV, str(site))
    assert tc._candidate_project_roots() == [site, ws]


def test_relative_env_root_is_taken_from_the_working_directory(ws, tmp_path, monkeypatch):
    (tmp_path / "here").mkdir()
    monkeypatch.chdir(tmp_path / "here")
    monkeypatch.setenv(ENV, "checkout")
    assert tc._candidate_project_roots()[0] == tmp_path / "here" / "checkout"
    monkeypatch.setenv(ENV, "~")
    assert tc._candidate_project_roots()[0] == tmp_path / "here" / "~"


def test_project_root_prefers_env_root_and_is_resolved(ws, tmp_path, monkeypatch):
    (ws / "site" / "data" / "assets").mkdir(parents=True)
    assert tc._get_project_root() == ws / "site"
    checkout = tmp_path / "checkout"
    (checkout / "data" / "assets").mkdir(parents=True)
    (tmp_path / "link").symlink_to(checkout)
    monkeypatch.setenv(ENV, str(tmp_path / "link"))
    assert tc._get_project_root() == checkout


def test_project_root_requires_a_data_assets_directory(ws, tmp_path, monkeypatch):
    checkout = tmp_path / "checkout"
    (checkout / "data").mkdir(parents=True)
    (checkout / "data" / "assets").touch()  # a file is not enough
    monkeypatch.setenv(ENV, str(checkout))
    with pytest.raises(FileNotFoundError) as err:
        tc._get_project_root()
    assert str(err.value) == PROJECT_MSG + f"{checkout}, {ws / 'site'}, {ws}"


# ---- bindings-root search ----------------------------------------------------------------


def test_bindings_roots_under_lists_versioned_directories_in_code_point_order(tmp_path):
    base = tmp_path / "base"
    for name in ["digital_twin_libs_bindings_9", "digital_twin_libs_bindings_10", "digital_twin_libs_bindings_b"]:
        (base / name).mkdir(parents=True)
    (base / "digital_twin_libs_bindings_file").touch()
    (base / "digital_twin_libs_bindings_broken").symlink_to(base / "missing")
    (base / "digital_twin_libs_bindings_linked").symlink_to(base / "digital_twin_libs_bindings_9")
    (base / "Digital_twin_libs_bindings_A").mkdir()
    assert tc._bindings_roots_under(base) == [
        base / "digital_twin_libs_bindings",
        base / "digital_twin_libs_bindings_10",
        base / "digital_twin_libs_bindings_9",
        base / "digital_twin_libs_bindings_b",
        base / "digital_twin_libs_bindings_linked",
    ]
    # Nothing is resolved here, and a missing base still gives the unversioned path.
    assert tc._bindings_roots_under(tmp_path / "nowhere" / "..") == [
        tmp_path / "nowhere" / ".." / "digital_twin_libs_bindings"
    ]


def test_versioned_directories_with_undecodable_names_sort_by_code_point(tmp_path):
    base = tmp_path / "base"
    base.mkdir()
    prefix = b"digital_twin_libs_bindings_"
    for suffix in [b"\xf5", "\U0001f600".encode(), b"\xc3\xa9", b"z"]:
        os.mkdir(os.path.join(os.fsencode(base), prefix + suffix))
    names = [p.name for p in tc._bindings_roots_under(base)[1:]]
    expected = sorted(os.fsdecode(prefix + s) for s in [b"\xf5", "\U0001f600".encode(), b"\xc3\xa9", b"z"])
    assert names == expected
    # Byte order would put the four-byte character before the escaped byte.
    assert names.index(os.fsdecode(prefix + b"\xf5")) < names.index(os.fsdecode(prefix) + "\U0001f600")


def test_candidate_bindings_roots_expand_every_root_in_order(ws, tmp_path, monkeypatch):
    s = tmp_path / "s"
    (s / "digital_twin_libs_bindings_2").mkdir(parents=True)
    (s / "assets" / "actuators" / "digital_twin_libs_bindings_1").mkdir(parents=True)
    env = tmp_path / "env"
    monkeypatch.setenv(ENV, str(env))
    shape = lambda d: [  # noqa: E731
        d,
        d / "digital_twin_libs_bindings",
        d / "assets/actuators/digital_twin_libs_bindings",
        d / "data/assets/actuators/digital_twin_libs_bindings",
        d / "actuators/digital_twin_libs_bindings",
    ]
    expected = [
        s,
        s / "digital_twin_libs_bindings",
        s / "digital_twin_libs_bindings_2",
        s / "assets/actuators/digital_twin_libs_bindings",
        s / "assets/actuators/digital_twin_libs_bindings_1",
        s / "data/assets/actuators/digital_twin_libs_bindings",
        s / "actuators/digital_twin_libs_bindings",
    ]
    expected += shape(env) + shape(ws / "site")
    # The workspace root's own expansion repeats site/... only through its own children.
    expected += [p for p in shape(ws) if p not in expected]
    assert tc._candidate_bindings_roots(s) == expected
    assert tc._candidate_bindings_roots(str(s)) == expected
    assert tc._candidate_bindings_roots(search_root=s) == expected


def test_a_directory_reached_twice_is_listed_once_at_its_first_place(ws, tmp_path, monkeypatch):
    real = tmp_path / "real"
    real.mkdir()
    (tmp_path / "alias").symlink_to(real)
    monkeypatch.setenv(ENV, str(tmp_path / "alias"))
    roots = tc._candidate_bindings_roots(real)
    assert roots[0] == real
    assert len(roots) == len(set(roots))
    assert tmp_path / "alias" not in roots


@pytest.mark.parametrize(
    "make",
    [
        lambda t: t / "plain",
        lambda t: t / "missing" / "deeper",
        lambda t: t / "link_to_plain" / ".." / "plain",
        lambda t: t / "rel_link" / "x",
        lambda t: t / "loop_a" / "y",
        lambda t: t / "dangling" / "z",
        lambda t: t / "abs_link" / "." / "inner",
        lambda t: t / "chain",
    ],
)
def test_resolution_matches_the_interpreter(tmp_path, make):
    (tmp_path / "plain" / "inner").mkdir(parents=True)
    (tmp_path / "link_to_plain").symlink_to(tmp_path / "plain" / "inner")
    (tmp_path / "rel_link").symlink_to("plain/../plain/inner")
    (tmp_path / "loop_a").symlink_to("loop_b")
    (tmp_path / "loop_b").symlink_to("loop_a")
    (tmp_path / "dangling").symlink_to("nothing/here")
    (tmp_path / "abs_link").symlink_to(tmp_path / "plain")
    (tmp_path / "chain").symlink_to("rel_link")
    target = make(tmp_path)
    assert tc._candidate_bindings_roots(target)[0] == Path(os.path.realpath(target))


def test_empty_search_root_is_the_working_directory(ws, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert tc._candidate_bindings_roots("")[0] == tmp_path
    artifact_root(tmp_path)
    assert tc.find_dtwin_bindings_root("") == tmp_path


def test_search_root_of_the_wrong_type_is_refused(ws):
    with pytest.raises(TypeError):
        tc.find_dtwin_bindings_root(42)


@pytest.mark.parametrize(
    "entries, usable",
    [
        (["bindings_x.py", "libx.so"], True),
        (["bindings_x.py", "lib"], True),
        (["bindings_.py", "libz"], True),
        (["bindings_x.py"], False),
        (["bindings_x.py", "Libx.so"], False),
        (["bindings_x.pyc", "libx.so"], False),
        (["binding_x.py", "libx.so"], False),
    ],
)
def test_a_bindings_root_needs_a_bindings_file_and_a_library_entry(ws, tmp_path, entries, usable):
    root = touch(tmp_path / "r")
    for name in entries:
        (root / name).touch()
    if usable:
        assert tc.find_dtwin_bindings_root(root) == root
    else:
        with pytest.raises(FileNotFoundError):
            tc.find_dtwin_bindings_root(root)


def test_a_subdirectory_named_lib_or_like_a_bindings_file_counts(ws, tmp_path):
    root = tmp_path / "r"
    (root / "lib").mkdir(parents=True)
    (root / "bindings_x.py").mkdir()
    assert tc.find_dtwin_bindings_root(root) == root


def test_search_order_unversioned_then_newest_name_then_later_roots(ws, tmp_path, monkeypatch):
    s = tmp_path / "s"
    artifact_root(s / "digital_twin_libs_bindings_9")
    artifact_root(s / "digital_twin_libs_bindings_10")
    assert tc.find_dtwin_bindings_root(s) == s / "digital_twin_libs_bindings_10"
    artifact_root(s / "digital_twin_libs_bindings")
    assert tc.find_dtwin_bindings_root(s) == s / "digital_twin_libs_bindings"
    # A search root without artifacts does not stop the search.
    env = artifact_root(tmp_path / "env" / "actuators" / "digital_twin_libs_bindings_3")
    monkeypatch.setenv(ENV, str(tmp_path / "env"))
    assert tc.find_dtwin_bindings_root(tmp_path / "empty") == env
    # The package's neighbourhood is searched last.
    monkeypatch.delenv(ENV)
    installed = artifact_root(ws / "site" / "assets" / "actuators" / "digital_twin_libs_bindings_1")
    assert tc.find_dtwin_bindings_root() == installed
    assert tc.find_dtwin_bindings_root(None) == installed


def test_the_root_is_returned_resolved(ws, tmp_path):
    real = artifact_root(tmp_path / "real")
    (tmp_path / "alias").symlink_to(real)
    assert tc.find_dtwin_bindings_root(tmp_path / "alias") == real


def test_failed_search_lists_every_candidate(ws, tmp_path, monkeypatch):
    s = tmp_path / "s"
    (s / "digital_twin_libs_bindings_1").mkdir(parents=True)
    monkeypatch.setenv(ENV, str(tmp_path / "env"))
    with pytest.raises(FileNotFoundError) as err:
        tc.find_dtwin_bindings_root(s)
    searched = ", ".join(str(p) for p in tc._candidate_bindings_roots(s))
    assert str(err.value) == BINDINGS_MSG + searched
    assert str(s / "digital_twin_libs_bindings_1") in searched


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind the superuser")
def test_an_unlistable_candidate_propagates_the_error(ws, tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(0o300)
    try:
        with pytest.raises(PermissionError):
            tc.find_dtwin_bindings_root(locked)
    finally:
        locked.chmod(0o700)


# ---- artifact resolution ----------------------------------------------------------------------


def test_resolution_returns_both_files_of_the_first_target(ws, tmp_path, linux_intel):
    root = artifact_root(tmp_path / "r")
    artifact_root(root, target=LINUX_AMD)
    paths = tc.resolve_dtwin_artifacts("M1", root)
    assert paths == tc.DTwinPaths(
        library=root / f"libM1_{LINUX_INTEL}.so", py_bindings=root / f"bindings_M1_{LINUX_INTEL}.py"
    )
    assert isinstance(paths.library, Path) and paths.library.is_absolute()
    assert tc.resolve_dtwin_artifacts(model_name="M1", bindings_root=str(root)) == paths


def test_resolution_falls_through_to_the_next_target(ws, tmp_path, linux_intel):
    root = touch(tmp_path / "r", f"bindings_M1_{LINUX_INTEL}.py", f"libM1_{LINUX_INTEL}")
    artifact_root(root, target=LINUX_AMD, ext="so.1")
    paths = tc.resolve_dtwin_artifacts("M1", root)
    assert paths.library == root / f"libM1_{LINUX_AMD}.so.1"
    assert paths.py_bindings == root / f"bindings_M1_{LINUX_AMD}.py"


def test_library_tie_break_is_code_point_order(ws, tmp_path, linux_intel):
    stem = f"libM1_{LINUX_INTEL}"
    root = touch(tmp_path / "r", f"bindings_M1_{LINUX_INTEL}.py", stem + ".so.bak", stem + ".so", stem + ".dylib")
    assert tc.resolve_dtwin_artifacts("M1", root).library == root / (stem + ".dylib")
    (root / (stem + ".dll")).touch()
    assert tc.resolve_dtwin_artifacts("M1", root).library == root / (stem + ".dll")


def test_a_directory_named_like_the_bindings_file_counts(ws, tmp_path, linux_intel):
    root = touch(tmp_path / "r", f"libM1_{LINUX_INTEL}.so")
    (root / f"bindings_M1_{LINUX_INTEL}.py").mkdir()
    assert tc.resolve_dtwin_artifacts("M1", root).py_bindings == root / f"bindings_M1_{LINUX_INTEL}.py"


def test_a_broken_link_is_no_bindings_file(ws, tmp_path, linux_intel):
    root = touch(tmp_path / "r", f"libM1_{LINUX_INTEL}.so")
    (root / f"bindings_M1_{LINUX_INTEL}.py").symlink_to(root / "gone.py")
    with pytest.raises(FileNotFoundError):
        tc.resolve_dtwin_artifacts("M1", root)


def test_failure_names_tried_targets_and_similar_bindings(ws, tmp_path, linux_intel):
    root = touch(
        tmp_path / "r",
        "bindings_M1_Apple_ARM64.py",
        "libM1_Apple_ARM64.dylib",
        f"bindings_M1_5_{LINUX_INTEL}.py",
        f"libM1_5_{LINUX_INTEL}.so",
    )
    with pytest.raises(FileNotFoundError) as err:
        tc.resolve_dtwin_artifacts("M1", root)
    assert str(err.value) == (
        "No DTwin artifacts found for 'M1' on this platform. Tried targets: "
        f"['M1_{LINUX_INTEL}', 'M1_{LINUX_AMD}']. Available bindings for this model: "
        f"['bindings_M1_5_{LINUX_INTEL}.py', 'bindings_M1_Apple_ARM64.py']"
    )
    with pytest.raises(FileNotFoundError) as err:
        tc.resolve_dtwin_artifacts("Q'x", root)
    assert str(err.value).startswith("No DTwin artifacts found for \"Q'x\" on this platform.")
    assert str(err.value).endswith("Available bindings for this model: []")


@pytest.mark.parametrize("model", [None, 5, b"M1"])
def test_model_name_must_be_text_before_any_search(tmp_path, monkeypatch, model):
    monkeypatch.setattr(tc, "find_dtwin_bindings_root", lambda root=None: pytest.fail("searched"))
    with pytest.raises(TypeError) as err:
        tc.resolve_dtwin_artifacts(model, tmp_path)
    assert str(err.value) == (
        f"Argument 'model_name' has incorrect type (expected str, got {type(model).__name__})"
    )


def test_errors_of_the_search_and_the_platform_propagate(ws, tmp_path, monkeypatch):
    with pytest.raises(FileNotFoundError, match="^Could not find DTwin bindings"):
        tc.resolve_dtwin_artifacts("M1", tmp_path / "none")
    root = artifact_root(tmp_path / "r")
    monkeypatch.setattr(platform, "system", lambda: "Plan9")
    with pytest.raises(RuntimeError, match="^Unsupported platform: Plan9 / "):
        tc.resolve_dtwin_artifacts("M1", root)
    assert tc.list_available_dtwin_artifacts(root) == ["M1"]


def test_wildcards_in_the_model_name(ws, tmp_path, linux_intel):
    t = LINUX_INTEL
    root = touch(tmp_path / "r", f"bindings_M?_{t}.py", f"libM1_{t}.so", f"libMX_{t}.so")
    # The library search treats "?" as a wildcard; the bindings file name is literal.
    assert tc.resolve_dtwin_artifacts("M?", root).library == root / f"libM1_{t}.so"
    assert tc.resolve_dtwin_artifacts("M?", root).py_bindings == root / f"bindings_M?_{t}.py"
    with pytest.raises(FileNotFoundError):
        tc.resolve_dtwin_artifacts("M1", root)
    # A path separator keeps the search inside the root.
    (root / "libsub").mkdir()
    touch(root / "libsub", f"M_{t}.so")
    touch(root / "bindings_sub", f"M_{t}.py")
    with pytest.raises(FileNotFoundError):
        tc.resolve_dtwin_artifacts("sub/M", root)


BINDING_NAMES = [
    "bindings_a_x.py", "bindings_b_x.py", "bindings_c_x.py", "bindings_-_x.py", "bindings_]_x.py",
    "bindings_!_x.py", "bindings_^_x.py", "bindings_\\_x.py", "bindings_[_x.py", "bindings_ab_x.py",
    "bindings_A_x.py", "bindings_é_x.py", "bindings__x.py", "bindings_a_.py", "bindings_.a_x.py",
    "bindings_a\n_x.py", "bindings_&_x.py", "bindings_z_x.py", "bindings_x.py",
]


@pytest.mark.parametrize(
    "model",
    ["a", "?", "*", "[abc]", "[!a]", "[a-c]", "[c-a]", "[a-c-e]", "[]]", "[!]]", "[-a]", "[a-]", "[!-a]",
     "[", "[a", "[\\]", "[^a]", "[[]", "[&&]", "[a--c]", "[b-a-z]", "*a", "a*", "[!]", ".*", "[é-é]", "[A-Za-z]"],
)
def test_name_patterns_match_like_pathlib(ws, tmp_path, linux_intel, model):
    root = touch(tmp_path / "r", "libnothing", *BINDING_NAMES)
    with pytest.raises(FileNotFoundError) as err:
        tc.resolve_dtwin_artifacts(model, root)
    expected = sorted(p.name for p in root.glob(f"bindings_{model}_*.py"))
    assert str(err.value).endswith(f"Available bindings for this model: {expected!r}")


# ---- model discovery -----------------------------------------------------------------------

DISCOVERY = [
    ("libM1_Intel_x8664Linux64.so", "M1"),
    ("libM1_Apple_ARM64.dylib", "M1"),
    ("libM1_5_Intel_x8664Linux64.so", "M1_5"),
    ("libM2_Intel_Intel_x.so", "M2"),
    ("libM3__Intel_x.so", "M3_"),
    ("libM4_AMD_.dll", "M4"),
    ("libM5_ARMCompatible_anything.so", "M5"),
    ("libM6_Intel_x.so\n", "M6"),
    ("libm7_Intel_x.so", None),
    ("libM8_Intel_x.so.1", None),
    ("libM9_Intel_x.SO", None),
    ("libM10_Intel_x\n.so", None),
    ("libM11_Intel_x.so\n\n", None),
    ("libM12_intel_x.so", None),
    ("xlibM13_Intel_x.so", None),
    ("lib_Intel_x.so", None),
    ("libM14-1_Intel_x.so", None),
    ("libM15_Intel_x.so.dll", "M15"),
    ("libM16_Intel_\udcff.so", "M16"),
    ("libÉ_Intel_x.so", None),
]


def test_discovery_matches_the_library_name_expression(ws, tmp_path):
    root = touch(tmp_path / "r", "bindings_any.py")
    for name, _ in DISCOVERY:
        (root / name).touch()
    (root / "libM20_AMD_dir.so").mkdir()
    expected = sorted({g for _, g in DISCOVERY if g} | {"M20"})
    assert tc.list_available_dtwin_artifacts(root) == expected
    # The same result as the interpreter's own regular expression engine.
    rx = re.compile(r"^lib([A-Z0-9_]+?)_(AMD|Intel|Apple|ARMCompatible)_.*\.(so|dylib|dll)$")
    assert expected == sorted({m.group(1) for p in root.iterdir() if (m := rx.match(p.name))})
    assert tc.list_available_dtwin_artifacts(bindings_root=str(root)) == expected


def test_discovery_without_matching_libraries_is_empty(ws, tmp_path):
    root = touch(tmp_path / "r", "bindings_x.py", "libfoo", "libm1_Intel_x.so")
    assert tc.list_available_dtwin_artifacts(root) == []
