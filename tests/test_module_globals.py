"""Names a module's functions read from its namespace at call time: a name removed from the
namespace is the NameError a Python function of that module would raise, never a KeyError."""

import importlib

import pytest


def _base_init(mod):
    mod.KavrelActuatorBase(0x10)


def _transport_init(mod):
    mod.VklTransport()


def _vkl_id_check(mod):
    mod.VKL.check_vkl_id_range(5)


def _vkl_identifier(mod):
    mod.VKL._build_VLK_identifier(1, 2)


def _cli_main(mod):
    mod.main()


# module, name removed from its namespace, the call that reads it
CASES = [
    ("_kavrel_actuator_base", "logger", _base_init),
    ("_kavrel_actuator_base", "is_valid_actuator_address",
     lambda mod: mod.KavrelActuatorBase.is_valid_actuator_address(0x10)),
    ("_transport", "logger", _transport_init),
    ("_vkl", "is_valid_vkl_address", _vkl_id_check),
    ("_vkl", "is_valid_vkl_payload", lambda mod: mod.VKL.check_vkl_payload_size([1])),
    ("_vkl", "build_vlk_identifier", _vkl_identifier),
    ("kavrel_cli", "argparse", _cli_main),
    ("_twin_engine", "_DTWIN_DEFAULT_TIME_STEP_S", lambda mod: mod.get_default_dtwin_time_step_s()),
    ("_twin_catalog", "platform", lambda mod: mod.platform_artifact_targets()),
    ("_twin_catalog", "Path", lambda mod: mod.load_actuator_library_data("actuators_library.yaml")),
    ("_twin_engine", "Path", lambda mod: mod.ActuatorWrapper("lib.so", "bindings.py")),
]


@pytest.fixture
def without_name(request):
    """The module with one name removed; afterwards its namespace is put back as it was, in
    its order (other tests read the namespace in load order)."""
    module, name = request.param
    mod = importlib.import_module(f"vkl_api.{module}")
    namespace = vars(mod)
    saved = dict(namespace)
    del namespace[name]
    yield mod
    namespace.clear()
    namespace.update(saved)


@pytest.mark.parametrize("without_name, name, call", [((m, n), n, c) for m, n, c in CASES],
                         ids=[f"{m}.{n}" for m, n, _ in CASES], indirect=["without_name"])
def test_a_removed_module_name_is_a_name_error(without_name, name, call):
    with pytest.raises(NameError, match=rf"^name '{name}' is not defined$") as info:
        call(without_name)
    assert not isinstance(info.value, KeyError)

