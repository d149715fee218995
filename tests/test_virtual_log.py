"""Telemetry log of the simulated actuator: the record, its series and the row append."""

import math

import pytest

from vkl_api.kavrel_actuator_virtual import KavrelActuatorVirtual, VirtualActuatorLog
from virtual_support import (  # noqa: F401 - fixtures
    BOOL_SERIES, FLOAT_SERIES, INT_SERIES, LOG_FIELDS, LOG_SERIES, SERIES_NAMES, fake_twin,
    ref_actuator, ref_paths, ref_twin, Struct,
)

NAN = math.nan


def test_new_log_has_65_empty_series_and_default_time_base():
    log = VirtualActuatorLog()
    assert len(SERIES_NAMES) == 65 and len(LOG_FIELDS) == 67
    for name in SERIES_NAMES:
        assert len(getattr(log, name)) == 0, name
        assert list(getattr(log, name)) == []
    assert log.TIME_STEP == 5e-05 and type(log.TIME_STEP) is float
    assert log.time_start == 0.0


def test_two_logs_share_no_series():
    a, b = VirtualActuatorLog(), VirtualActuatorLog()
    a.T_fb.append(1.0)
    a.time.append(0.0)
    assert list(b.T_fb) == [] and list(b.time) == []
    assert a.T_fb is not b.T_fb


def test_time_step_default_is_taken_at_creation(monkeypatch):
    import vkl_api._twin_engine as engine

    monkeypatch.setattr(engine, "_DTWIN_DEFAULT_TIME_STEP_S", 1e-3)
    assert VirtualActuatorLog().TIME_STEP == 1e-3


def test_fields_by_position_and_keyword():
    series = [[float(i)] for i in range(65)]
    log = VirtualActuatorLog(*series, 1e-3, 2.0)
    for i, name in enumerate(SERIES_NAMES):
        assert list(getattr(log, name)) == [float(i)], name
    assert (log.TIME_STEP, log.time_start) == (1e-3, 2.0)
    log = VirtualActuatorLog(T_fb=[1.0, 2.0], time_start=0.5)
    assert list(log.T_fb) == [1.0, 2.0] and log.time_start == 0.5 and list(log.T_ref) == []
    shared = VirtualActuatorLog(*([[]] * 65), 1e-3, 2.0)
    assert shared.enable is shared.T_fb and shared.TIME_STEP == 1e-3 and shared.time_start == 2.0
    with pytest.raises(TypeError):
        VirtualActuatorLog(*series, 1e-3, 2.0, 3.0)
    with pytest.raises(TypeError):
        VirtualActuatorLog(no_such_series=[])


def test_only_the_67_fields_can_be_set():
    log = VirtualActuatorLog()
    with pytest.raises(AttributeError):
        log.extra = 1
    with pytest.raises(AttributeError):
        log.t_fb = []
    log.TIME_STEP = 1e-4
    log.time_start = 3.0
    log.T_fb = [7.0]
    assert (log.TIME_STEP, log.time_start, list(log.T_fb)) == (1e-4, 3.0, [7.0])


def test_equality_and_no_hash():
    a, b = VirtualActuatorLog(), VirtualActuatorLog()
    assert a == b and not (a != b)
    b.time_start = 1.0
    assert a != b
    b = VirtualActuatorLog(T_fb=[1.0])
    assert a != b
    a.T_fb.append(1.0)
    assert a == b
    assert a != object() and a != list(SERIES_NAMES)
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        {a}


def test_text_form_lists_all_fields_in_order():
    log = VirtualActuatorLog()
    log.T_fb.append(1.5)
    expected = "VirtualActuatorLog(" + ", ".join(
        f"{n}={'[1.5]' if n == 'T_fb' else '[]'}" for n in SERIES_NAMES
    ) + ", TIME_STEP=5e-05, time_start=0.0)"
    assert repr(log) == expected


def test_class_documentation():
    assert VirtualActuatorLog.__doc__ == (
        "Per-step simulator telemetry log owned by ``KavrelActuatorVirtual``.\n\n"
        "    Populated by ``KavrelActuatorVirtual.step()`` after every simulation tick.\n"
        "    The internal DTwin backend has no knowledge of this structure.\n    "
    )


# ---- series as sequences -------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, values",
    [("T_fb", [1.5, -2.0, NAN, 0.0]), ("meas_turn", [3, -1, 0]), ("inp_enable", [True, False, True]),
     ("time", [0.0, 5e-05])],
)
def test_series_behave_as_lists(name, values):
    log = VirtualActuatorLog()
    s = getattr(log, name)
    for v in values:
        s.append(v)
    assert len(s) == len(values)
    got = list(s)
    assert [repr(v) for v in got] == [repr(v) for v in values]
    assert [type(v) for v in got] == [type(v) for v in values]
    assert repr(s) == repr(values)
    assert repr(s[0]) == repr(values[0]) and repr(s[-1]) == repr(values[-1])
    assert [repr(v) for v in s[1:]] == [repr(v) for v in values[1:]]
    with pytest.raises(IndexError):
        s[len(values)]
    assert [repr(v) for v in iter(s)] == [repr(v) for v in values]
    finite = [v for v in values if v == v]
    if len(finite) == len(values):
        assert s == values and values == s and not (s != values)
    assert s != values + [values[0]]
    assert bool(s) and not bool(getattr(VirtualActuatorLog(), name))


def test_series_values_read_back_in_their_element_types(ref_twin):
    log = VirtualActuatorLog()
    log._append(ref_twin)
    for name in FLOAT_SERIES:
        assert type(getattr(log, name)[0]) is float, name
    for name in INT_SERIES:
        assert type(getattr(log, name)[0]) is int, name
    for name in BOOL_SERIES:
        assert type(getattr(log, name)[0]) is bool, name


def test_numpy_views_a_series_without_a_copy(ref_twin):
    np = pytest.importorskip("numpy")
    log = VirtualActuatorLog()
    for _ in range(5):
        ref_twin.step(0.1, 0.0)
        log._append(ref_twin)
    for name, kind in (("T_fb", "f"), ("time", "f"), ("meas_turn", "i"), ("inp_enable", "b")):
        s = getattr(log, name)
        a, b = np.asarray(s), np.asarray(s)
        assert a.dtype.kind == kind, name
        assert a.shape == (5,)
        assert a.tolist() == list(s)
        assert np.shares_memory(a, b), name
    assert np.asarray(log.time).tolist() == [k * 5e-05 for k in range(5)]


def test_numpy_view_of_an_empty_series():
    np = pytest.importorskip("numpy")
    assert np.asarray(VirtualActuatorLog().T_fb).shape == (0,)


# ---- appending rows --------------------------------------------------------------------------


def distinct_fake():
    """A fake twin whose every logged field holds a value of its own."""
    values = {}
    k = 1
    for name, path in LOG_SERIES:
        if path is None:
            continue
        if name in INT_SERIES:
            values[path] = k
        elif name in BOOL_SERIES:
            values[path] = k % 2 == 0
        else:
            values[path] = k + 0.25
        k += 1
    return fake_twin(values=values), values


def test_append_reads_every_series_from_its_field():
    twin, values = distinct_fake()
    log = VirtualActuatorLog()
    log._append(twin)
    for name, path in LOG_SERIES:
        s = getattr(log, name)
        assert len(s) == 1, name
        if path is not None:
            assert repr(s[0]) == repr(values[path]), name
            assert type(s[0]) is type(values[path]), name
    assert log.time[0] == 0.0
    assert twin.calls == []


def test_append_reads_the_reference_twin_as_its_fields_give(ref_twin):
    ref_twin.step(0.2, 0.1)
    log = VirtualActuatorLog()
    log._append(ref_twin)
    for name, path in LOG_SERIES:
        if path is None:
            continue
        group, field = path.split(".")
        st = getattr(ref_twin, group)
        want = getattr(st, field) if hasattr(st, field) else NAN
        got = getattr(log, name)[0]
        assert repr(got) == repr(want), name


@pytest.mark.parametrize(
    "time_start, step, rows", [(0.0, 5e-05, 1), (0.0, 5e-05, 7), (2.0, 5e-05, 3), (0.5, 1e-3, 4)],
)
def test_row_times_count_rows(time_start, step, rows):
    twin, _ = distinct_fake()
    log = VirtualActuatorLog(TIME_STEP=step, time_start=time_start)
    for _ in range(rows):
        log._append(twin)
    assert list(log.time) == [step * k + time_start for k in range(rows)]
    assert all(len(getattr(log, n)) == rows for n in SERIES_NAMES)


def test_changed_time_step_applies_to_later_rows_only():
    twin, _ = distinct_fake()
    log = VirtualActuatorLog()
    for _ in range(100):
        log._append(twin)
    before = list(log.time)
    log.TIME_STEP = 1e-4
    log._append(twin)
    assert log.time[100] == 100 * 1e-4 == 0.01
    assert list(log.time)[:100] == before


def test_time_counts_the_rows_of_T_fb():
    twin, _ = distinct_fake()
    log = VirtualActuatorLog(T_fb=[0.0, 0.0, 0.0], TIME_STEP=0.5)
    log._append(twin)
    assert list(log.time) == [1.5]
    log.T_fb = []
    log._append(twin)
    assert list(log.time) == [1.5, 0.0]


@pytest.mark.parametrize("field", ["T_ADC", "ref_ff_torque", "ref_impedance_spd", "ref_impedance_acel"])
def test_optional_input_fields_absent_give_nan(field):
    twin = fake_twin(omit=("inp." + field,))
    log = VirtualActuatorLog()
    log._append(twin)
    log._append(twin)
    name = {"T_ADC": "inp_t_adc"}.get(field, "inp_" + field)
    assert all(math.isnan(v) for v in getattr(log, name)) and len(getattr(log, name)) == 2
    assert all(len(getattr(log, n)) == 2 for n in SERIES_NAMES)


def test_optional_field_read_errors_other_than_missing_propagate():
    class Inp(Struct):
        @property
        def T_ADC(self):
            raise RuntimeError("sensor failed")

    twin = fake_twin(omit=("inp.T_ADC",))
    twin.inp = Inp(**twin.inp.__dict__)
    with pytest.raises(RuntimeError, match="sensor failed"):
        VirtualActuatorLog()._append(twin)


@pytest.mark.parametrize("missing", ["debug.i_max", "debug.spd_ref_min"])
@pytest.mark.parametrize("road", ["row append", "actuator step"])
def test_missing_required_field_leaves_the_row_partly_written(missing, road):
    twin = fake_twin(omit=(missing,))
    if road == "row append":
        log = VirtualActuatorLog()
        with pytest.raises(AttributeError):
            log._append(twin)
    else:
        act = KavrelActuatorVirtual(twin)
        act.connect()
        with pytest.raises(AttributeError):
            act.step(steps=4)
        log = act.telemetry_log
        # The tick's twin step ran; the tick is not counted.
        assert twin.names().count("step") == 1 and act._simulation_step_count == 0
    names = list(SERIES_NAMES)
    failed = names.index("debug_" + missing.split(".")[1])
    for i, name in enumerate(names):
        want = 1 if (i < failed or name == "time") else 0
        assert len(getattr(log, name)) == want, name


def test_missing_group_fails_before_info_rows():
    twin = fake_twin()
    del twin.info
    log = VirtualActuatorLog()
    with pytest.raises(AttributeError):
        log._append(twin)
    assert len(log.time) == 1 and len(log.enable) == 0


def test_append_takes_exactly_one_argument(ref_twin):
    log = VirtualActuatorLog()
    with pytest.raises(TypeError):
        log._append()
    with pytest.raises(TypeError):
        log._append(ref_twin, ref_twin)


def test_series_edits_as_on_a_list():
    log = VirtualActuatorLog()
    s = log.T_fb
    s.extend([1.0, 2.0, 3.0, 4.0])
    assert s[-1] == 4.0 and s[-4] == 1.0 and list(s[1:3]) == [2.0, 3.0] and list(s[::-2]) == [4.0, 2.0]
    s[0] = 9.5
    assert list(s) == [9.5, 2.0, 3.0, 4.0] and s.tolist() == [9.5, 2.0, 3.0, 4.0]
    del s[1]
    assert list(s) == [9.5, 3.0, 4.0]
    del s[:]
    assert len(s) == 0
    s.append(1.0)
    s.clear()
    assert list(s) == [] and s == []


def test_a_series_takes_values_of_other_types_as_given():
    s = VirtualActuatorLog().meas_turn
    s.append(3)
    s.append(2.5)
    s.append("x")
    assert [repr(v) for v in s] == ["3", "2.5", "'x'"]
    assert repr(s) == "[3, 2.5, 'x']"


def test_emptied_log_starts_its_clock_again():
    twin, _ = distinct_fake()
    log = VirtualActuatorLog(time_start=1.0)
    for _ in range(3):
        log._append(twin)
    for name in SERIES_NAMES:
        getattr(log, name).clear()
    log._append(twin)
    assert list(log.time) == [1.0] and all(len(getattr(log, n)) == 1 for n in SERIES_NAMES)


def test_given_lists_are_kept_as_the_fields():
    mine = [1.0]
    log = VirtualActuatorLog(T_fb=mine)
    assert log.T_fb is mine
    twin, _ = distinct_fake()
    log._append(twin)
    assert mine == [1.0, twin.info.T_fb] and list(log.time) == [5e-05]


@pytest.mark.parametrize("road", ["row append", "native ticks"])
def test_numpy_views_stay_valid_while_the_series_grows(road, ref_twin, ref_actuator):
    np = pytest.importorskip("numpy")
    if road == "row append":
        log = VirtualActuatorLog()

        def grow(n):
            for _ in range(n):
                log._append(ref_twin)
    else:
        act = ref_actuator()
        log = act.telemetry_log

        def grow(n):
            act.step(steps=n)
    grow(3)
    view = np.asarray(log.time)
    flags = np.asarray(log.inp_enable)
    mv = memoryview(log.inp_enable)
    again = np.frombuffer(log.time)
    assert view.dtype == np.float64 and flags.dtype == np.bool_
    assert mv.format == "?" and mv.readonly and memoryview(log.meas_turn).itemsize == 8
    assert not view.flags.writeable and not view.flags.owndata
    assert view.__array_interface__["data"][0] == again.__array_interface__["data"][0]
    seen_flags = flags.tolist()
    grow(5000)  # every column moves; the views keep their own blocks
    assert view.tolist() == [0.0, 5e-05, 1e-04] and mv.tolist() == seen_flags == flags.tolist()
    assert np.asarray(log.time).shape == (5003,)
    log.time.append("not a number")
    assert view.tolist() == [0.0, 5e-05, 1e-04]
    del view, flags, mv, again


def test_series_written_by_ticks_behave_as_lists(ref_actuator):
    act = ref_actuator()
    act.step(steps=5)
    log = act.telemetry_log
    assert [type(x) for x in (log.pos_fb[0], log.meas_turn[0], log.inp_enable[0])] == [float, int, bool]
    assert log.time == [i * 5e-05 for i in range(5)] and log.time[-1] == log.time[4]
    assert log.time[1:3] == [5e-05, 0.0001] and list(log.time) == log.time.tolist()
    assert repr(log.time) == repr(log.time.tolist()) == str(log.time)
    assert len(log.T_fb) == 5 and log.inp_t_adc != [] and log.T_fb != (1,)
    with pytest.raises(IndexError):
        log.time[5]
    log.enable.append(1)  # not a float: kept as given
    assert log.enable[-1] == 1 and type(log.enable[-1]) is int and len(log.enable) == 6
    del log.enable[-1]
    log.T_fb.clear()
    assert log.T_fb == [] and act.get_sim_time(4) == 0.0002
    # The tick loop goes on appending to the edited series.
    act.step(steps=2)
    assert len(log.T_fb) == 2 and len(log.enable) == 7 and len(log.time) == 7


@pytest.mark.parametrize("name, values", [("T_fb", [0.5, -1.25, 3.0]), ("meas_turn", [7, -2, 2**40]),
                                          ("inp_enable", [True, False])])
def test_series_follow_list_semantics_under_random_edits(name, values):
    import random

    rnd = random.Random(1234)
    series, mirror = getattr(VirtualActuatorLog(), name), []
    views = []
    for _ in range(600):
        op = rnd.randrange(10)
        if op <= 3 or not mirror:
            v = rnd.choice(values) if rnd.random() > 0.02 else rnd.choice([1, 2.5, None, "x", 2**70])
            series.append(v)
            mirror.append(v)
        elif op == 4:
            i = rnd.randrange(-len(mirror), len(mirror))
            assert series[i] == mirror[i] and type(series[i]) is type(mirror[i])
        elif op == 5:
            sl = slice(rnd.randrange(-5, 8), rnd.choice([None, rnd.randrange(-5, 8)]), rnd.choice([None, 1, 2, -1, 3]))
            assert series[sl] == mirror[sl]
        elif op == 6:
            i = rnd.randrange(-len(mirror), len(mirror))
            v = rnd.choice(values)
            series[i] = v
            mirror[i] = v
        elif op == 7:
            sl = slice(rnd.randrange(0, 4), rnd.randrange(0, 6), rnd.choice([1, 2]))
            del series[sl]
            del mirror[sl]
        elif op == 8:
            try:
                views.append(memoryview(series))
            except BufferError:
                pass  # a series of mixed values has no typed buffer
            if len(views) > 3:
                views.pop(0).release()
        else:
            series.extend(values)
            mirror.extend(values)
        assert len(series) == len(mirror) and series == mirror and repr(series) == repr(mirror)
    assert list(series) == mirror and (mirror[-1] in series)
    series.clear()
    assert series == [] and len(series) == 0


@pytest.mark.parametrize("name, values, later", [
    ("T_fb", [0.5, 1.5, 2.5, 3.5, 4.5, 5.5], -1.0),
    ("meas_turn", [10, 11, 12, 13, 14, 15], -7),
    ("inp_enable", [True, False, True, True, False, True], False),
])
@pytest.mark.parametrize("erase", [
    pytest.param(lambda s: s.__delitem__(0), id="del-first"),
    pytest.param(lambda s: s.__delitem__(slice(1, 4)), id="del-slice"),
    pytest.param(lambda s: s.clear(), id="clear"),
])
def test_view_keeps_its_values_while_the_series_is_erased_and_edited(name, values, later, erase):
    np = pytest.importorskip("numpy")
    log = VirtualActuatorLog()
    s = getattr(log, name)
    s.extend(values)
    view = np.asarray(s)
    mv = memoryview(s)
    expected = list(values)
    erase(s)
    erase(expected)
    # In-place edits after the erase land in the series only: none of them is seen
    # through the block the views read.
    if s:
        s[0] = later
        expected[0] = later
    s.append(later)
    expected.append(later)
    assert view.tolist() == values and mv.tolist() == values
    assert list(s) == expected and np.asarray(s).tolist() == expected
    assert not np.shares_memory(view, np.asarray(s))
    del view, mv


# ---- storage of long series: reused after a log is dropped, never under a live view ----------


def test_long_logs_dropped_and_replaced_keep_their_values_and_views(ref_actuator):
    np = pytest.importorskip("numpy")

    # 40000 rows take every column past the size where it moves into storage
    # of its own, which a later column may reuse once its log is dropped.
    # The first actuator drops its first log (its storage is free for the
    # second log); the second keeps its own, so its second log is written
    # into storage not used before.
    runs, kept = [], []
    for drop in (True, False):
        a = ref_actuator()
        a.change_position_setpoint(0.5)
        a.step(steps=40_000)
        first = a.telemetry_log
        view = np.asarray(first.pos_fb)
        seen = view.copy()
        a.telemetry_log = VirtualActuatorLog()
        if drop:
            del first
        else:
            kept.append(first)
        a.change_speed_setpoint(3.0)
        a.step(steps=40_000)
        a.telemetry_log.pos_fb.append(1.5)
        a.step(steps=10)
        # a viewed block outlives its log and is not handed to another column
        assert np.array_equal(view, seen) and view.shape == (40_000,)
        log = a.telemetry_log
        assert {len(getattr(log, n)) for n in SERIES_NAMES if n != "pos_fb"} == {40_010}
        assert log.pos_fb[40_000] == 1.5 and len(log.pos_fb) == 40_011
        assert log.time[-1] == log.TIME_STEP * 40_009 + log.time_start
        runs.append(log)
        del view
    # bit for bit
    assert [n for n in SERIES_NAMES
            if memoryview(getattr(runs[0], n)).tobytes() != memoryview(getattr(runs[1], n)).tobytes()] == []
