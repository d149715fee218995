"""KavrelActuatorBase: state fields, callbacks, the address check and the default error handling."""

import collections
import inspect
import logging
import uuid
import warnings
from decimal import Decimal

import pytest

import vkl_api._kavrel_actuator_base as base_mod
from vkl_api._kavrel_actuator_base import KavrelActuatorBase as Base

FIELDS = [
    "logger", "address", "_feedback_callback", "error_callback", "feedback", "low_feedback", "_connected",
    "_got_pong", "got_parameters", "model", "parameters", "can_high_speed", "_current_mode",
]
STOP_LINE = "Stopping actuator (override error_callback to change this behavior)"


@pytest.fixture
def logger():
    """A logger of its own per test, so only this test's records are looked at."""
    lg = logging.getLogger("test.actuator." + uuid.uuid4().hex)
    lg.setLevel(logging.DEBUG)
    return lg


class Stopping(Base):
    """An actuator whose stop() is recorded in the same log as the error lines."""

    def __init__(self, *args, **kwargs):
        self.stops = 0
        super().__init__(*args, **kwargs)

    def stop(self):
        self.stops += 1
        self.logger.info("STOP")


def log_lines(caplog, lg):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == lg.name]


class TestModuleAndClass:
    def test_module_surface(self):
        assert base_mod.__all__ == ["KavrelActuatorBase"]
        assert base_mod.logger is logging.getLogger("vkl_api._kavrel_actuator_base")
        import vkl_api._protocol as proto
        assert base_mod.is_valid_actuator_address is proto.is_valid_actuator_address

    def test_plain_class(self):
        assert Base.__bases__ == (object,)
        assert type(Base) is type
        assert Base.__module__ == "vkl_api._kavrel_actuator_base"
        assert Base.__qualname__ == "KavrelActuatorBase"
        assert Base.__doc__ == "Internal shared actuator vocabulary, state, and callbacks."

    def test_members_in_definition_order(self):
        names = [n for n in Base.__dict__ if not n.startswith("__") or n == "__init__"]
        assert names[9:] == [
            "__init__", "connected", "implementation_version", "set_feedback_callback", "set_error_callback",
            "set_low_freq_feedback_callback", "get_feedback", "is_valid_actuator_address",
            "_default_error_callback", "stop",
        ]
        assert isinstance(inspect.getattr_static(Base, "is_valid_actuator_address"), staticmethod)
        assert isinstance(inspect.getattr_static(Base, "connected"), property)
        assert isinstance(inspect.getattr_static(Base, "implementation_version"), property)

    def test_methods_bind_like_python_functions(self):
        a = Base()
        assert a.stop == a.stop
        assert a.stop.__self__ is a
        assert a.stop.__func__ is Base.__dict__["stop"]
        assert Base.get_feedback.__qualname__ == "KavrelActuatorBase.get_feedback"
        assert Base.get_feedback.__module__ == "vkl_api._kavrel_actuator_base"


SIGNATURES = [
    ("__init__", "(self, address: 'int' = 0, logger: 'Optional[logging.Logger]' = None) -> 'None'"),
    ("set_feedback_callback", "(self, callback: 'Callable[[int, dict], None]') -> 'None'"),
    ("set_error_callback", "(self, callback: 'Callable[[int, dict], None]') -> 'None'"),
    ("set_low_freq_feedback_callback", "(self, callback: 'Callable[[Any], None]') -> 'None'"),
    ("get_feedback", "(self) -> 'Dict[Any, Any]'"),
    ("is_valid_actuator_address", "(address: 'int') -> 'bool'"),
    ("_default_error_callback", "(self, address: 'int', errors: 'dict') -> 'None'"),
    ("stop", "(self) -> 'None'"),
]


@pytest.mark.parametrize("name,text", SIGNATURES)
def test_signatures_with_string_annotations(name, text):
    fn = getattr(Base, name)
    assert str(inspect.signature(fn)) == text
    assert all(type(v) is str for v in fn.__annotations__.values())
    if "self" in text:
        bound = inspect.signature(getattr(Base(), name))
        assert list(bound.parameters) == list(inspect.signature(fn).parameters)[1:]


def test_property_annotations():
    assert Base.connected.fget.__annotations__ == {"return": "bool"}
    assert Base.implementation_version.fget.__annotations__ == {"return": "str"}


def test_signature_binds_like_the_call():
    sig = inspect.signature(Base.__init__)
    a = Base.__new__(Base)
    args = sig.bind(a, logger=None, address=3)
    Base.__init__(*args.args, **args.kwargs)
    assert a.address == 3


class TestConstruction:
    def test_defaults(self):
        a = Base()
        assert list(vars(a)) == FIELDS
        assert a.logger is logging.getLogger("vkl_api._kavrel_actuator_base")
        assert a.address == 0 and type(a.address) is int
        assert a._feedback_callback is None
        assert a.feedback == {} and a.low_feedback == {} and a.parameters == {}
        assert a._connected is False and a.connected is False
        assert a._got_pong is False and a.got_parameters is False
        assert a.model == ""
        assert a.can_high_speed is False
        assert a._current_mode is None

    def test_each_instance_gets_its_own_dicts(self):
        a, b = Base(), Base()
        for name in ("feedback", "low_feedback", "parameters"):
            assert getattr(a, name) is not getattr(b, name)
        assert a.feedback is not a.low_feedback is not a.parameters

    def test_positional_and_keyword_arguments(self, logger):
        assert Base(0x20, logger).logger is logger
        a = Base(logger=logger, address=0x21)
        assert (a.address, a.logger) == (0x21, logger)
        with pytest.raises(TypeError):
            Base(1, logger, 3)
        with pytest.raises(TypeError):
            Base(adress=1)

    @pytest.mark.parametrize("value,expected", [
        (16.9, 16), (-16.9, -16), (True, 1), (False, 0), (Decimal("17.8"), 17), (0x3FFE, 0x3FFE), (2**70, 2**70),
    ])
    def test_address_coerced_to_int(self, value, expected):
        a = Base(value)
        assert a.address == expected and type(a.address) is int

    class Falsy:
        def __bool__(self):
            return False

    @pytest.mark.parametrize("falsy", [None, 0, "", False, Falsy()])
    def test_falsy_logger_selects_module_logger(self, falsy):
        assert Base(logger=falsy).logger is base_mod.logger

    def test_truthy_logger_stored_unchanged(self):
        marker = object()
        assert Base(logger=marker).logger is marker
        adapter = logging.LoggerAdapter(logging.getLogger("x"), {})
        assert Base(logger=adapter).logger is adapter

    def test_default_logger_read_from_module_at_call_time(self, monkeypatch, logger):
        monkeypatch.setattr(base_mod, "logger", logger)
        assert Base().logger is logger

    def test_fields_set_through_ordinary_attribute_assignment(self):
        seen = []

        class Recording(Base):
            def __setattr__(self, name, value):
                seen.append(name)
                super().__setattr__(name, value)

        Recording(5)
        assert seen == FIELDS

    def test_subclass_properties_receive_assignments_in_order(self, logger):
        events = []

        class WithProperties(Base):
            @property
            def address(self):
                return self._addr

            @address.setter
            def address(self, value):
                # logger is always set before address.
                events.append(("address", value, type(value), self.logger))
                self._addr = value

            @property
            def model(self):
                return self._model

            @model.setter
            def model(self, value):
                # address is set before model.
                events.append(("model", value, self.address))
                self._model = value

        a = WithProperties(7.5, logger)
        assert events == [("address", 7, int, logger), ("model", "", 7)]
        assert "address" not in vars(a) and "model" not in vars(a)
        assert a.address == 7 and a.model == ""

    def test_failing_assignment_leaves_later_fields_unset(self):
        class Broken(Base):
            @property
            def model(self):
                return None

            @model.setter
            def model(self, value):
                raise RuntimeError("no model here")

        with pytest.raises(RuntimeError, match="no model here"):
            Broken()
        a = Broken.__new__(Broken)
        with pytest.raises(RuntimeError):
            Base.__init__(a, 3)
        assert list(vars(a)) == FIELDS[:9]

    def test_bad_address_sets_nothing(self):
        a = Base.__new__(Base)
        with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected int, got str\)$"):
            Base.__init__(a, "16")
        assert vars(a) == {}

    def test_model_taken_from_models_names_through_instance(self):
        class OwnNames(Base):
            MODELS_NAMES = ["NONE"] + Base.MODELS_NAMES[1:]

        assert OwnNames().model == "NONE"

    def test_error_callback_is_bound_default(self):
        a = Base()
        assert a.error_callback == a._default_error_callback
        assert a.error_callback.__self__ is a
        assert a.error_callback.__func__ is Base.__dict__["_default_error_callback"]

    def test_error_callback_default_follows_subclass_override(self):
        class Own(Base):
            def _default_error_callback(self, address, errors):
                return "own"

        a = Own()
        assert a.error_callback.__func__ is Own._default_error_callback
        assert a.error_callback(1, {}) == "own"


class TestProperties:
    def test_connected_returns_stored_value(self):
        a = Base()
        a._connected = "as stored"
        assert a.connected == "as stored"
        a._connected = True
        assert a.connected is True

    @pytest.mark.parametrize("name", ["connected", "implementation_version"])
    def test_read_only(self, name):
        a = Base()
        with pytest.raises(AttributeError):
            setattr(a, name, True)
        with pytest.raises(AttributeError):
            delattr(a, name)

    def test_abstract_members_raise_not_implemented(self):
        a = Base()
        with pytest.raises(NotImplementedError) as e:
            a.implementation_version
        assert str(e.value) == "implementation_version must be implemented by actuator subclasses"
        with pytest.raises(NotImplementedError) as e:
            a.stop()
        assert str(e.value) == "stop() must be implemented by actuator subclasses"

    def test_subclass_provides_abstract_members(self):
        class Real(Base):
            @property
            def implementation_version(self):
                return "1.2.3"

            def stop(self):
                return None

        a = Real()
        assert a.implementation_version == "1.2.3"
        assert a.stop() is None


class TestCallbacks:
    def test_setters_store_without_validation(self):
        a = Base()

        def cb(address, values):
            pass

        assert a.set_feedback_callback(cb) is None
        assert a._feedback_callback is cb
        a.set_feedback_callback(None)
        assert a._feedback_callback is None
        assert a.set_error_callback(42) is None
        assert a.error_callback == 42
        a.set_error_callback(callback=cb)
        assert a.error_callback is cb

    def test_low_freq_callback_setter_warns_at_callers_line(self):
        a = Base()
        before = a._feedback_callback
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            line = inspect.currentframe().f_lineno + 1
            result = a.set_low_freq_feedback_callback(print)
            a.set_low_freq_feedback_callback(callback=None)
        assert result is None
        assert len(caught) == 2
        w = caught[0]
        assert w.category is DeprecationWarning
        assert str(w.message) == "set_low_freq_feedback_callback is deprecated, use get_items_blocking instead"
        assert w.filename == __file__
        assert w.lineno == line
        assert caught[1].lineno == line + 1
        assert a._feedback_callback is before
        assert list(vars(a)) == FIELDS

    def test_low_freq_warning_through_subclass_points_at_subclass_line(self):
        class Sub(Base):
            def set_low_freq_feedback_callback(self, callback):
                self.line = inspect.currentframe().f_lineno + 1
                return super().set_low_freq_feedback_callback(callback)

        a = Sub()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            a.set_low_freq_feedback_callback(None)
        assert [(w.filename, w.lineno) for w in caught] == [(__file__, a.line)]

    def test_low_freq_warning_as_error_propagates(self):
        a = Base()
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            with pytest.raises(DeprecationWarning):
                a.set_low_freq_feedback_callback(None)

    def test_get_feedback_returns_the_dict_itself(self):
        a = Base()
        fb = a.get_feedback()
        assert fb is a.feedback
        fb[Base.VKL_Items.SPEED_FB] = 1.0
        assert a.get_feedback() is fb and a.feedback == {Base.VKL_Items.SPEED_FB: 1.0}
        a.feedback = None
        assert a.get_feedback() is None

    @pytest.mark.parametrize("value,name", [
        (collections.OrderedDict(), "OrderedDict"), ([], "list"), (0, "int"), (collections.defaultdict(), "defaultdict"),
    ])
    def test_get_feedback_refuses_anything_but_dict(self, value, name):
        a = Base()
        a.feedback = value
        with pytest.raises(TypeError) as e:
            a.get_feedback()
        assert str(e.value) == f"Expected dict, got {name}"


class TestAddressCheck:
    @pytest.mark.parametrize("address,valid", [
        (0, False), (1, False), (15, False), (16, True), (0x100, True), (0x3FFE, True), (0x3FFF, False),
        (-16, False), (2**64 + 16, False), (16.0, True), (16382.9, True), (True, False),
    ])
    def test_range(self, address, valid):
        assert bool(Base.is_valid_actuator_address(address)) is valid
        assert bool(Base().is_valid_actuator_address(address)) is valid

    def test_protocol_function_looked_up_at_call_time(self, monkeypatch):
        calls = []
        result = object()

        def fake(address):
            calls.append((address, type(address)))
            return result

        monkeypatch.setattr(base_mod, "is_valid_actuator_address", fake)
        assert Base.is_valid_actuator_address(16.0) is result
        assert Base(3).is_valid_actuator_address(address=Decimal("20.5")) is result
        assert calls == [(16, int), (20, int)]

    def test_protocol_errors_propagate(self, monkeypatch):
        def broken(address):
            raise OSError("protocol says no")

        monkeypatch.setattr(base_mod, "is_valid_actuator_address", broken)
        with pytest.raises(OSError, match="protocol says no"):
            Base.is_valid_actuator_address(16)

    def test_bad_argument_checked_before_lookup(self, monkeypatch):
        monkeypatch.setattr(base_mod, "is_valid_actuator_address", lambda a: pytest.fail("called"))
        with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected int, got NoneType\)$"):
            Base.is_valid_actuator_address(None)


class TestDefaultErrorCallback:
    def test_low_code_only_logged(self, caplog, logger):
        a = Stopping(0x10, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            assert a.error_callback(0x10, {3: "Overcurrent"}) is None
        assert log_lines(caplog, logger) == [("ERROR", "Actuator 0x010 Error code: 3 - Overcurrent")]
        assert a.stops == 0

    def test_high_code_logs_stops_and_warns(self, caplog, logger):
        a = Stopping(0x123, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            a.error_callback(0x123, {16: "Encoder fault"})
        assert log_lines(caplog, logger) == [
            ("ERROR", "Actuator 0x123 Error code: 16 - Encoder fault"),
            ("INFO", "STOP"),
            ("WARNING", "Actuator 0x123 " + STOP_LINE),
        ]
        assert a.stops == 1

    def test_one_stop_per_severe_code_in_order(self, caplog, logger):
        a = Stopping(5, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            a._default_error_callback(5, {3: "a", 17: "b", 15: "c", 20: "d"})
        assert log_lines(caplog, logger) == [
            ("ERROR", "Actuator 0x005 Error code: 3 - a"),
            ("ERROR", "Actuator 0x005 Error code: 17 - b"),
            ("INFO", "STOP"),
            ("WARNING", "Actuator 0x005 " + STOP_LINE),
            ("ERROR", "Actuator 0x005 Error code: 15 - c"),
            ("ERROR", "Actuator 0x005 Error code: 20 - d"),
            ("INFO", "STOP"),
            ("WARNING", "Actuator 0x005 " + STOP_LINE),
        ]
        assert a.stops == 2

    def test_empty_errors_do_nothing(self, caplog, logger):
        a = Stopping(5, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            a._default_error_callback(5, {})
        assert log_lines(caplog, logger) == [] and a.stops == 0

    @pytest.mark.parametrize("address,text", [
        (0, "000"), (5, "005"), (0x10, "010"), (0xABC, "ABC"), (0x3FFE, "3FFE"), (16.7, "010"), (True, "001"),
        (Decimal("255.5"), "0FF"), (0x12345, "12345"),
    ])
    def test_address_formatting(self, caplog, logger, address, text):
        # The address argument is used, not the actuator's own.
        a = Stopping(0x999, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            a._default_error_callback(address, {1: "x"})
        assert log_lines(caplog, logger) == [("ERROR", f"Actuator 0x{text} Error code: 1 - x")]

    def test_code_and_description_written_with_str(self, caplog, logger):
        class Code:
            def __str__(self):
                return "C-7"

            def __gt__(self, other):
                return 0  # falsy: no stop

        a = Stopping(0x10, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            a._default_error_callback(0x10, {Code(): ValueError("bad value"), 2: None, 4: 1.5, 6: "ünïcode \udcff"})
        assert log_lines(caplog, logger) == [
            ("ERROR", "Actuator 0x010 Error code: C-7 - bad value"),
            ("ERROR", "Actuator 0x010 Error code: 2 - None"),
            ("ERROR", "Actuator 0x010 Error code: 4 - 1.5"),
            ("ERROR", "Actuator 0x010 Error code: 6 - ünïcode \udcff"),
        ]
        assert a.stops == 0

    @pytest.mark.parametrize("code,stops", [
        (15, 0), (16, 1), (15.5, 1), (15.0, 0), (True, 0), (2**80, 1), (-1, 0), (Decimal("15.01"), 1),
    ])
    def test_threshold_by_ordinary_comparison(self, logger, code, stops):
        a = Stopping(0x10, logger)
        a._default_error_callback(0x10, {code: "x"})
        assert a.stops == stops

    def test_comparison_result_taken_as_truth_value(self, logger):
        class Code:
            def __init__(self, result):
                self.result = result

            def __gt__(self, other):
                assert other == 15 and type(other) is int
                return self.result

            def __hash__(self):
                return id(self)

        a = Stopping(0x10, logger)
        a._default_error_callback(0x10, {Code("yes"): "x", Code([]): "y", Code([0]): "z"})
        assert a.stops == 2

    def test_incomparable_code_raises_after_its_error_line(self, caplog, logger):
        a = Stopping(0x10, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            with pytest.raises(TypeError):
                a._default_error_callback(0x10, {"E1": "x", 20: "y"})
        assert log_lines(caplog, logger) == [("ERROR", "Actuator 0x010 Error code: E1 - x")]
        assert a.stops == 0

    def test_logger_read_afresh_for_each_line(self, caplog, logger):
        other = logging.getLogger(logger.name + ".other")

        class Swapping(Stopping):
            def stop(self):
                super().stop()
                self.logger = other

        a = Swapping(0x10, logger)
        with caplog.at_level(logging.DEBUG):
            a._default_error_callback(0x10, {16: "x", 1: "y"})
        assert [(r.name, r.getMessage()) for r in caplog.records if r.name.startswith(logger.name)] == [
            (logger.name, "Actuator 0x010 Error code: 16 - x"),
            (logger.name, "STOP"),
            (other.name, "Actuator 0x010 " + STOP_LINE),
            (other.name, "Actuator 0x010 Error code: 1 - y"),
        ]

    def test_stop_looked_up_through_instance(self, logger):
        a = Base(0x10, logger)
        calls = []
        a.stop = lambda: calls.append("instance stop")
        a._default_error_callback(0x10, {16: "x"})
        assert calls == ["instance stop"]

    def test_error_from_stop_ends_the_callback(self, caplog, logger):
        class FailingStop(Stopping):
            def stop(self):
                super().stop()
                raise OSError("port gone")

        a = FailingStop(0x10, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            with pytest.raises(OSError, match="port gone"):
                a._default_error_callback(0x10, {16: "x", 1: "y"})
        assert log_lines(caplog, logger) == [("ERROR", "Actuator 0x010 Error code: 16 - x"), ("INFO", "STOP")]

    def test_base_stop_raises_right_after_error_line(self, caplog, logger):
        a = Base(0x10, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            with pytest.raises(NotImplementedError, match=r"^stop\(\) must be implemented by actuator subclasses$"):
                a._default_error_callback(0x10, {3: "a", 16: "b", 17: "c"})
        assert log_lines(caplog, logger) == [
            ("ERROR", "Actuator 0x010 Error code: 3 - a"),
            ("ERROR", "Actuator 0x010 Error code: 16 - b"),
        ]

    def test_error_from_logger_propagates(self):
        class BrokenLogger:
            def __init__(self):
                self.calls = []

            def error(self, text):
                self.calls.append(text)
                raise RuntimeError("log down")

            warning = error

        lg = BrokenLogger()
        a = Stopping(0x10, lg)
        with pytest.raises(RuntimeError, match="log down"):
            a._default_error_callback(0x10, {16: "x", 17: "y"})
        assert lg.calls == ["Actuator 0x010 Error code: 16 - x"]
        assert a.stops == 0

    def test_errors_changed_by_stop_is_detected(self, logger):
        errors = {16: "x", 17: "y"}

        class Mutating(Stopping):
            def stop(self):
                super().stop()
                errors[99] = "new"

        with pytest.raises(RuntimeError, match="changed size during iteration"):
            Mutating(0x10, logger)._default_error_callback(0x10, errors)

    @pytest.mark.parametrize("errors,name", [
        (None, "NoneType"), (collections.OrderedDict({16: "x"}), "OrderedDict"), ([(16, "x")], "list"),
        (((16, "x"),), "tuple"),
    ])
    def test_errors_must_be_exactly_dict(self, caplog, logger, errors, name):
        a = Stopping(0x10, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            with pytest.raises(TypeError) as e:
                a._default_error_callback(0x10, errors)
        assert str(e.value) == f"Argument 'errors' has incorrect type (expected dict, got {name})"
        assert log_lines(caplog, logger) == [] and a.stops == 0

    def test_keyword_arguments(self, caplog, logger):
        a = Stopping(0x10, logger)
        with caplog.at_level(logging.DEBUG, logger=logger.name):
            a._default_error_callback(errors={1: "x"}, address=0x11)
        assert log_lines(caplog, logger) == [("ERROR", "Actuator 0x011 Error code: 1 - x")]
