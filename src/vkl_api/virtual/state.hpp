// The simulated actuator's tables and module state: the telemetry series, the
// feedback-item map, the names of the stepping machinery, and the one State
// of the module with its table of interned names, read by the generic and
// the native road alike.
#pragma once

#include "core/attr_cache.hpp"
#include "core/ctypes_field.hpp"
#include "core/member_hashes.hpp"
#include "core/pyutil.hpp"
#include "core/telemetry.hpp"
#include "virtual/returned_maps.hpp"

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <unordered_map>
#include <utility>

namespace vkl::virt {
namespace nb = nanobind;
namespace tel = vkl::telemetry;

constexpr bool same_name(const char *a, const char *b) { return *a == *b && (*a == 0 || same_name(a + 1, b + 1)); }

// ---- the telemetry series ------------------------------------------------------

struct SeriesDef {
    const char *name;
    tel::Kind kind;    // the declared element type: the kind of a new, empty series
    const char *group; // nullptr for `time`
    const char *field;
    bool optional;
};

namespace rows {
constexpr tel::Kind F = tel::Kind::Float, I = tel::Kind::Int, B = tel::Kind::Bool;
}

// In the order of the log's fields; every series but the last (`time`) is
// one field of one of the twin's structures.
inline constexpr SeriesDef kSeries[] = {
    {"enable", rows::F, "info", "enable", false},
    {"temp_winding", rows::F, "info", "temp_winding", false},
    {"T_fb", rows::F, "info", "T_fb", false},
    {"T_ref", rows::F, "info", "T_ref", false},
    {"id_fb", rows::F, "info", "id_fb", false},
    {"id_ref", rows::F, "info", "id_ref", false},
    {"iq_fb", rows::F, "info", "iq_fb", false},
    {"iq_ref", rows::F, "info", "iq_ref", false},
    {"pos_fb", rows::F, "info", "pos_fb", false},
    {"pos_ref", rows::F, "info", "pos_ref", false},
    {"spd_fb", rows::F, "info", "spd_fb", false},
    {"spd_ref", rows::F, "info", "spd_ref", false},
    {"vd_ref", rows::F, "info", "vd_ref", false},
    {"vq_ref", rows::F, "info", "vq_ref", false},
    {"m_Te", rows::F, "motor", "m_Te", false},
    {"m_Tl", rows::F, "motor", "m_Tl", false},
    {"m_acc", rows::F, "motor", "m_acc", false},
    {"m_eff_elec", rows::F, "motor", "m_eff_elec", false},
    {"m_eff_mec", rows::F, "motor", "m_eff_mec", false},
    {"m_i_dc", rows::F, "motor", "m_i_dc", false},
    {"m_ia", rows::F, "motor", "m_ia", false},
    {"m_ib", rows::F, "motor", "m_ib", false},
    {"m_ic", rows::F, "motor", "m_ic", false},
    {"m_id", rows::F, "motor", "m_id", false},
    {"m_iq", rows::F, "motor", "m_iq", false},
    {"m_pos1", rows::F, "motor", "m_pos1", false},
    {"m_pos2", rows::F, "motor", "m_pos2", false},
    {"m_pwr_dc", rows::F, "motor", "m_pwr_dc", false},
    {"m_pwr_elec", rows::F, "motor", "m_pwr_elec", false},
    {"m_pwr_mec", rows::F, "motor", "m_pwr_mec", false},
    {"m_spd1", rows::F, "motor", "m_spd1", false},
    {"m_spd2", rows::F, "motor", "m_spd2", false},
    {"m_va", rows::F, "motor", "m_va", false},
    {"m_vb", rows::F, "motor", "m_vb", false},
    {"m_vc", rows::F, "motor", "m_vc", false},
    {"m_vd", rows::F, "motor", "m_vd", false},
    {"m_vq", rows::F, "motor", "m_vq", false},
    {"meas_turn", rows::I, "meas", "turn", false},
    {"meas_turn2", rows::I, "meas", "turn2", false},
    {"meas_T", rows::F, "meas", "T", false},
    {"meas_e_pos", rows::F, "meas", "e_pos", false},
    {"meas_pos", rows::F, "meas", "pos", false},
    {"meas_pos2", rows::F, "meas", "pos2", false},
    {"meas_spd", rows::F, "meas", "spd", false},
    {"meas_spd2", rows::F, "meas", "spd2", false},
    {"inp_ref", rows::F, "inp", "Reference", false},
    {"inp_load", rows::F, "inp", "Load", false},
    {"inp_t_adc", rows::F, "inp", "T_ADC", true},
    {"inp_ref_ff_torque", rows::F, "inp", "ref_ff_torque", true},
    {"inp_ref_impedance_spd", rows::F, "inp", "ref_impedance_spd", true},
    {"inp_ref_impedance_acel", rows::F, "inp", "ref_impedance_acel", true},
    {"inp_control_type", rows::I, "inp", "ControlType", false},
    {"inp_enable", rows::B, "inp", "Enable", false},
    {"inp_reset_pos", rows::B, "inp", "ResetPos", false},
    {"debug_T_fb_max", rows::B, "debug", "T_fb_max", false},
    {"debug_T_ref_max", rows::B, "debug", "T_ref_max", false},
    {"debug_i_max", rows::B, "debug", "i_max", false},
    {"debug_pos_fb_max", rows::B, "debug", "pos_fb_max", false},
    {"debug_pos_fb_min", rows::B, "debug", "pos_fb_min", false},
    {"debug_pos_ref_max", rows::B, "debug", "pos_ref_max", false},
    {"debug_pos_ref_min", rows::B, "debug", "pos_ref_min", false},
    {"debug_spd_fb_max", rows::B, "debug", "spd_fb_max", false},
    {"debug_spd_ref_max", rows::B, "debug", "spd_ref_max", false},
    {"debug_spd_ref_min", rows::B, "debug", "spd_ref_min", false},
    {"time", rows::F, nullptr, nullptr, false},
};
constexpr int kNumSeries = (int) std::size(kSeries);
constexpr int kTimeIndex = kNumSeries - 1; // `time`, computed from the two floats below
constexpr int kRowSeries = kTimeIndex;      // the series read from the twin's fields
constexpr int kTfbIndex = 2;                // `T_fb`: its length is the number of rows
// The log's fields: the series, then TIME_STEP and time_start.
constexpr int kTimeStepIndex = kNumSeries, kTimeStartIndex = kNumSeries + 1;
constexpr int kLogFields = kNumSeries + 2;
static_assert(kSeries[kTimeIndex].group == nullptr && same_name(kSeries[kTimeIndex].name, "time"));
static_assert(same_name(kSeries[kTfbIndex].name, "T_fb"));

// The fields of one of the twin's structures, in the series table's order.
constexpr std::size_t group_size(const char *group) {
    std::size_t n = 0;
    for (int i = 0; i < kRowSeries; ++i)
        n += same_name(kSeries[i].group, group);
    return n;
}
template <std::size_t N>
constexpr std::array<const char *, N> group_fields(const char *group) {
    std::array<const char *, N> out{};
    std::size_t n = 0;
    for (int i = 0; i < kRowSeries; ++i)
        if (same_name(kSeries[i].group, group))
            out[n++] = kSeries[i].field;
    return out;
}
inline constexpr auto kInfoFields = group_fields<group_size("info")>("info");
inline constexpr auto kMotorFields = group_fields<group_size("motor")>("motor");
inline constexpr auto kMeasFields = group_fields<group_size("meas")>("meas");
inline constexpr auto kDebugFlags = group_fields<group_size("debug")>("debug");
// `meas` starts with its two integer turn counters.
constexpr std::size_t kMeasIntFields = 2;

// ---- the feedback items -------------------------------------------------------

enum class ItemKind : uint8_t { Path, Flag, VBus, Const, HasErrors, NaN };

struct ItemDef {
    const char *member;
    ItemKind kind;
    const char *path;
    const char *path2;
};

// In the order of the VKL_Items members.
inline constexpr ItemDef kItems[] = {
    {"ENCODER_INT", ItemKind::Path, "meas.pos", nullptr},
    {"ENCODER_INT_RAW", ItemKind::Path, "meas.turn", nullptr},
    {"ENCODER_EXT", ItemKind::Path, "meas.pos2", nullptr},
    {"ENCODER_EXT_RAW", ItemKind::Path, "meas.turn2", nullptr},
    {"SPEED_FB", ItemKind::Path, "info.spd_fb", nullptr},
    {"IA", ItemKind::Path, "motor.m_ia", nullptr},
    {"IB", ItemKind::Path, "motor.m_ib", nullptr},
    {"IC", ItemKind::Path, "motor.m_ic", nullptr},
    {"TORQUE_SENS", ItemKind::Path, "meas.T", nullptr},
    {"TORQUE_SENS_RAW", ItemKind::Path, "meas.T", nullptr},
    {"POSITION_REF", ItemKind::Path, "info.pos_ref", nullptr},
    {"POSITION_FB", ItemKind::Path, "info.pos_fb", nullptr},
    {"POSITION_FB_INTERNAL", ItemKind::Path, "meas.pos", nullptr},
    {"SPEED_REF", ItemKind::Path, "info.spd_ref", nullptr},
    {"ID_REF", ItemKind::Path, "info.id_ref", nullptr},
    {"ID_FB", ItemKind::Path, "info.id_fb", nullptr},
    {"IQ_REF", ItemKind::Path, "info.iq_ref", nullptr},
    {"IQ_FB", ItemKind::Path, "info.iq_fb", nullptr},
    {"VD_REF", ItemKind::Path, "info.vd_ref", nullptr},
    {"VQ_REF", ItemKind::Path, "info.vq_ref", nullptr},
    {"TORQUE_REF", ItemKind::Path, "info.T_ref", nullptr},
    {"TORQUE_FB", ItemKind::Path, "info.T_fb", nullptr},
    {"REFERENCE_A_VOLTAGE", ItemKind::Path, "motor.m_va", nullptr},
    {"REFERENCE_B_VOLTAGE", ItemKind::Path, "motor.m_vb", nullptr},
    {"REFERENCE_C_VOLTAGE", ItemKind::Path, "motor.m_vc", nullptr},
    {"BUS_POWER", ItemKind::Path, "motor.m_pwr_dc", nullptr},
    {"BUS_CURRENT", ItemKind::Path, "motor.m_i_dc", nullptr},
    {"THREE_PHASE_POWER", ItemKind::Path, "motor.m_pwr_elec", nullptr},
    {"MECHANICAL_POWER", ItemKind::Path, "motor.m_pwr_mec", nullptr},
    {"INVERTER_EFFICIENCY", ItemKind::Path, "motor.m_eff_elec", nullptr},
    {"MOTOR_EFFICIENCY", ItemKind::Path, "motor.m_eff_mec", nullptr},
    {"ERRORS_ENCODER_INT", ItemKind::Flag, "debug.pos_fb_max", nullptr},
    {"ERRORS_ENCODER_EXT", ItemKind::Flag, "debug.pos_fb_min", nullptr},
    {"ERRORS_OVERRUN", ItemKind::Flag, "debug.i_max", nullptr},
    {"VBUS", ItemKind::VBus, "motor.m_pwr_dc", "motor.m_i_dc"},
    {"TEMP_PCB", ItemKind::Const, nullptr, nullptr},
    {"TEMP_MOTOR", ItemKind::Path, "info.temp_winding", nullptr},
    {"DEBUG_SIGNAL_BOOL", ItemKind::HasErrors, nullptr, nullptr},
    {"DEBUG_SIGNAL01", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL02", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL03", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL04", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL05", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL06", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL07", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL08", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL09", ItemKind::NaN, nullptr, nullptr},
    {"DEBUG_SIGNAL10", ItemKind::NaN, nullptr, nullptr},
};
constexpr int kNumItems = (int) std::size(kItems);
constexpr double kTempPcb = 25.0; // TEMP_PCB: the twin has no board temperature

// ---- the stepping machinery -----------------------------------------------------

// Methods a tick calls through the instance; the native road requires each
// to be the one defined here.
enum StepMethod {
    M_ENSURE_INIT, M_SNAPSHOT, M_SHOULD_EMIT, M_EMIT, M_ITEM_VALUE, M_READ_PATH, M_REQUIRE,
    M_HAS_ERRORS, M_DEBUG_FLAGS, M_BOOL_TO_FLOAT, M_SAFE_DIVISOR
};
inline constexpr const char *kStepMethods[] = {
    "_ensure_initialized", "_build_feedback_snapshot", "_should_emit_feedback", "_emit_callback",
    "_get_item_value", "_read_path", "_require_actuator", "has_errors", "get_debug_flags", "_bool_to_float",
    "_safe_divisor"};
constexpr int kNumStepMethods = (int) std::size(kStepMethods);
static_assert(same_name(kStepMethods[M_ENSURE_INIT], "_ensure_initialized") &&
                  same_name(kStepMethods[M_SNAPSHOT], "_build_feedback_snapshot") &&
                  same_name(kStepMethods[M_SHOULD_EMIT], "_should_emit_feedback") &&
                  same_name(kStepMethods[M_EMIT], "_emit_callback") &&
                  same_name(kStepMethods[M_ITEM_VALUE], "_get_item_value") &&
                  same_name(kStepMethods[M_READ_PATH], "_read_path") &&
                  same_name(kStepMethods[M_REQUIRE], "_require_actuator") &&
                  same_name(kStepMethods[M_HAS_ERRORS], "has_errors") &&
                  same_name(kStepMethods[M_DEBUG_FLAGS], "get_debug_flags") &&
                  same_name(kStepMethods[M_BOOL_TO_FLOAT], "_bool_to_float") &&
                  same_name(kStepMethods[M_SAFE_DIVISOR], "_safe_divisor") && kNumStepMethods == M_SAFE_DIVISOR + 1,
              "StepMethod follows kStepMethods");

// Plain instance attributes a tick reads and writes; the native road
// requires the class to define none of them.
enum StepAttr {
    A_ACTUATOR, A_SETPOINT, A_LOAD, A_LOG, A_COUNT, A_ITEMS, A_CALLBACK, A_DIVIDER, A_ADDRESS, A_LATEST,
    A_FEEDBACK, A_CONNECTED
};
inline constexpr const char *kStepAttrs[] = {
    "actuator", "_setpoint", "_load_value", "telemetry_log", "_simulation_step_count", "_feedback_items",
    "_feedback_callback", "_feedback_rate_divider", "_address", "_latest_feedback", "feedback", "_connected"};
constexpr int kNumStepAttrs = (int) std::size(kStepAttrs);
static_assert(same_name(kStepAttrs[A_ACTUATOR], "actuator") && same_name(kStepAttrs[A_SETPOINT], "_setpoint") &&
                  same_name(kStepAttrs[A_LOAD], "_load_value") && same_name(kStepAttrs[A_LOG], "telemetry_log") &&
                  same_name(kStepAttrs[A_COUNT], "_simulation_step_count") &&
                  same_name(kStepAttrs[A_ITEMS], "_feedback_items") &&
                  same_name(kStepAttrs[A_CALLBACK], "_feedback_callback") &&
                  same_name(kStepAttrs[A_DIVIDER], "_feedback_rate_divider") &&
                  same_name(kStepAttrs[A_ADDRESS], "_address") && same_name(kStepAttrs[A_LATEST], "_latest_feedback") &&
                  same_name(kStepAttrs[A_FEEDBACK], "feedback") && same_name(kStepAttrs[A_CONNECTED], "_connected") &&
                  kNumStepAttrs == A_CONNECTED + 1,
              "StepAttr follows kStepAttrs");

// ---- the module state -----------------------------------------------------------

struct CallWriter;

struct State {
    nb::dict g; // the module namespace (names read at call time)
    nb::object base_cls, log_cls, virt_cls;
    nb::object engine_cls;  // the engine's ActuatorWrapper as imported
    nb::object engine_step; // ActuatorWrapper.step as defined by the engine
    nb::object nan;         // math.nan
    PyTypeObject *view_type = nullptr;
    nb::object items[kNumItems]; // VKL_Items members in order
    MemberHashes item_hashes;    // their hashes, for the snapshots' keys

    // The log class's slots: offsets, its own descriptors, their names.
    Py_ssize_t log_off[kLogFields] = {};
    nb::object log_descr[kLogFields];
    nb::object log_names[kLogFields];
    bool log_slots_contiguous = false; // the log's slots are one run of words from log_slots_begin
    Py_ssize_t log_slots_begin = 0;
    nb::object log_append; // VirtualActuatorLog._append as defined here

    // Interned names of the generic road: the structure and field of each row
    // series, the twin path of each item and the two parts of each path.
    nb::object series_group[kRowSeries], series_field[kRowSeries];
    nb::object item_path[kNumItems], item_path2[kNumItems];
    std::unordered_map<PyObject *, std::pair<nb::object, nb::object>> path_parts; // keyed by item_path* texts
    // The generic row's reads: each series of the log, each row's structure
    // from the twin and its field from the structure, and the time's inputs.
    CachedAttr ca_series[kNumSeries], ca_group[kRowSeries], ca_field[kRowSeries], ca_time_step, ca_time_start;
    CtypesField cf_field[kRowSeries]; // the field itself when the structure is a plain ctypes one

    // The stepping machinery: its methods' names and the functions defined
    // here, its attributes' names and a read cache for each.
    nb::object n_step_method[kNumStepMethods];
    nb::object orig_methods[kNumStepMethods];
    nb::object n_step_attr[kNumStepAttrs];
    CachedAttr ca_step_attr[kNumStepAttrs];
    CachedAttr ca_step_method[kNumStepMethods];

    // Other attribute names, interned once from kNames.
    nb::object n_step, n_append, n_native_view, n_initialized, n_list_append, n_split, n_initialize, n_set_enable,
        n_mode, n_current_mode, n_enabled, n_value, n_name, n_qualname, n_tracked, n_configured_model, n_model,
        n_torque_performance, n_speed_performance, n_logger, n_set_address, n_parameter_paths;

    // Verified class states (type and its version tag).
    PyTypeObject *ok_self_type = nullptr;
    unsigned int ok_self_tag = 0;
    unsigned int ok_engine_tag = 0;
    unsigned int ok_log_tag = 0;

    int dict_watcher = -1; // -1: no watcher, every tick is checked in full
    // The columns' writer of a `step` call between two of its runs, which a
    // run of another call may take over (see CallWriter).
    CallWriter *parked = nullptr;
    // The maps `step` returned, for the next call to return again when
    // the caller has dropped them.
    ReturnedMaps returned;
    // Ticks run entirely on the native road since the module was loaded (read
    // by tests, through `_native_tick_count()`, to tell that the road was taken).
    uint64_t native_ticks = 0;

    PyObject *attr(StepAttr a) const { return n_step_attr[a].ptr(); }
    PyObject *method(StepMethod m) const { return n_step_method[m].ptr(); }
};
using StateP = std::shared_ptr<State>;

// o.<name> and o.<name> = value, for interned names.
inline nb::object get_attr(nb::handle o, PyObject *name) { return steal_or_raise(PyObject_GetAttr(o.ptr(), name)); }
inline void set_attr(nb::handle o, PyObject *name, nb::handle v) {
    if (PyObject_SetAttr(o.ptr(), name, v.ptr()) < 0)
        raise_pending();
}
// o.<name> through the read cache `c` (see CachedAttr).
inline nb::object cached_get(CachedAttr &c, nb::handle o, PyObject *name) {
    return steal_or_raise(c.get(o.ptr(), name));
}
// self.<name>(), for an interned name.
inline nb::object call_method(nb::handle self, PyObject *name) {
    return steal_or_raise(PyObject_CallMethodNoArgs(self.ptr(), name));
}
// dict(x): a copy of an exact dict, else the interpreter's dict constructor.
nb::object dict_copy(nb::handle v);

// The name of the log's field `i` (the series, TIME_STEP, time_start).
inline const char *log_field_name(int i) {
    if (i < kNumSeries)
        return kSeries[i].name;
    return i == kTimeStepIndex ? "TIME_STEP" : "time_start";
}

// The log's field `i` as its slot holds it (borrowed; nullptr when empty):
// for a log of our class (see log_type_ok) what its own descriptor reads.
inline PyObject *log_slot(const State &S, PyObject *log, int i) {
    return *(PyObject **) ((char *) log + S.log_off[i]);
}

// The state of a module whose siblings are imported (its namespace holds
// KavrelActuatorBase and ActuatorWrapper): members, names, the engine's own
// step, the twin view's type, the dict watcher.
StateP make_state(nb::module_ &m);
// The log class as built: where its slots are and its own descriptors.
void note_log_class(State &s, nb::object cls);
// The actuator class as built: its own stepping methods.
void note_actuator_class(State &s, nb::object cls);

} // namespace vkl::virt
