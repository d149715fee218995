// The native road's records (see native_records.hpp): the class checks, the
// dictionary watcher and what it writes, the shadow-free table, the memo of
// actuator dictionaries, and the plan of a twin view.
#include "virtual/native_records.hpp"

#include "core/python_activity.hpp"
#include "core/tick_loop.hpp"

#include <iterator>
#include <string>

namespace vkl::virt {

// ---- Verified classes ------------------------------------------------------------

bool self_type_check(State &S, PyTypeObject *t) {
    if (t->tp_getattro != PyObject_GenericGetAttr || t->tp_setattro != PyObject_GenericSetAttr)
        return false;
    for (int i = 0; i < kNumStepMethods; ++i)
        if (_PyType_Lookup(t, S.n_step_method[i].ptr()) != S.orig_methods[i].ptr())
            return false;
    for (int i = 0; i < kNumStepAttrs; ++i)
        if (_PyType_Lookup(t, S.n_step_attr[i].ptr()))
            return false;
    if (!has_version_tag(t))
        return false;
    S.ok_self_type = t;
    S.ok_self_tag = t->tp_version_tag;
    return t->tp_version_tag != 0;
}

bool engine_type_check(State &S, PyTypeObject *t) {
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, S.n_step.ptr()) != S.engine_step.ptr() ||
        _PyType_Lookup(t, S.n_initialized.ptr()))
        return false;
    if (!has_version_tag(t))
        return false;
    S.ok_engine_tag = t->tp_version_tag;
    return t->tp_version_tag != 0;
}

bool log_type_check(State &S, PyTypeObject *t) {
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, S.n_append.ptr()) != S.log_append.ptr())
        return false;
    for (int i = 0; i < kLogFields; ++i) {
        PyObject *d = _PyType_Lookup(t, S.log_names[i].ptr());
        if (!d || d != S.log_descr[i].ptr())
            return false;
    }
    if (!has_version_tag(t))
        return false;
    S.ok_log_tag = t->tp_version_tag;
    return t->tp_version_tag != 0;
}

// ---- The watcher's record ---------------------------------------------------

// Process-wide: the watcher callback gets no user data (see WatcherRecord).
WatcherRecord g_watch;

namespace {

// A freed dictionary's version entry: the slot may be taken again, while the
// probe goes on past it.
PyObject *const kGone = (PyObject *) (uintptr_t) 1;

// Every event on a watched dictionary: counted, a tracked one given a new
// version (or its entry freed with it), and additions counted apart.
int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) {
    ++g_watch.dict_changes;
    if (DictVersion *e = version_entry(dict)) {
        if (event == PyDict_EVENT_DEALLOCATED)
            e->dict = kGone;
        else
            e->ver = ++g_watch.version_source;
    }
    if (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_CLONED || event == PyDict_EVENT_DEALLOCATED)
        ++g_watch.key_additions;
    return 0;
}

} // namespace

ShadowFree *shadow_entry(PyObject *d) {
    for (auto &e : g_watch.shadow_free)
        if (e.dict == d && e.additions == g_watch.key_additions)
            return &e;
    return nullptr;
}

bool no_method_shadowed(State &S, PyObject *sd) {
    ShadowFree *e = shadow_entry(sd);
    if (e && e->free)
        return true;
    for (int i = 0; i < kNumStepMethods; ++i)
        if (dict_get(sd, S.n_step_method[i].ptr()))
            return false;
    // Watched since before the lookups, with no key added since: free until
    // the next addition.
    if (e)
        e->free = true;
    return true;
}

void note_watched(PyObject *sd) {
    if (shadow_entry(sd))
        return;
    ShadowFree &e = g_watch.shadow_free[g_watch.shadow_next];
    g_watch.shadow_next = (g_watch.shadow_next + 1) % (int) std::size(g_watch.shadow_free);
    e = ShadowFree{sd, g_watch.key_additions, false};
}

DictVersion *version_slot(PyObject *d) {
    if (DictVersion *e = version_entry(d))
        return e;
    unsigned h = version_home(d);
    for (int i = 0; i < kVersionProbe; ++i) {
        DictVersion &e = g_watch.version[(h + i) % kVersionSlots];
        if (!e.dict || e.dict == kGone) {
            e = DictVersion{d, ++g_watch.version_source};
            return &e;
        }
    }
    return nullptr;
}

int add_dict_watcher() {
    int id = PyDict_AddWatcher(on_dict_event);
    if (id < 0)
        PyErr_Clear();
    return id;
}

// ---- What an actuator's dictionary held at its last known version ----------

// Process-wide, like the watcher's record: keyed by dictionaries of any
// actuator, versioned by the watcher (see SdMemo).
MemoTable g_memo;

SdMemo *sd_memo(PyObject *sd) {
    unsigned h = MemoTable::home(sd);
    for (int i = 0; i < MemoTable::kWindow; ++i) {
        SdMemo &m = g_memo.entry[(h + i) % MemoTable::kEntries];
        if (m.sd == sd)
            return version_holds(m.slot, sd, m.ver) ? &m : nullptr;
    }
    return nullptr;
}

SdMemo *sd_memo_fill(State &S, PyObject *sd) {
    DictVersion *e = version_entry(sd);
    if (!e)
        return nullptr;
    // Its own entry, else an empty one, else one of the window in turn.
    unsigned h = MemoTable::home(sd);
    SdMemo *m = nullptr, *empty = nullptr;
    for (int i = 0; i < MemoTable::kWindow && !m; ++i) {
        SdMemo &x = g_memo.entry[(h + i) % MemoTable::kEntries];
        if (x.sd == sd)
            m = &x;
        else if (!x.sd && !empty)
            empty = &x;
    }
    if (!m)
        m = empty ? empty : &g_memo.entry[(h + g_memo.next++ % MemoTable::kWindow) % MemoTable::kEntries];
    m->sd = sd;
    m->ver = e->ver;
    m->slot = e;
    for (int k = 0; k < kNumStepAttrs; ++k)
        m->v[k] = dict_get(sd, S.attr((StepAttr) k));
    m->methods_free = true;
    for (int i = 0; i < kNumStepMethods; ++i)
        if (dict_get(sd, S.n_step_method[i].ptr()))
            m->methods_free = false;
    return m;
}

void memo_store(State &S, SdMemo *m, PyObject *sd, StepAttr a, PyObject *value) {
    bool current = m && m->sd == sd && version_holds(m->slot, sd, m->ver);
    uint64_t src = g_watch.version_source;
    if (PyDict_SetItem(sd, S.attr(a), value) < 0)
        raise_pending();
    if (current) {
        // The store's own event, and nothing else, happened since (its entry
        // stays where it is: sd lives on in the caller's hands).
        DictVersion *e = m->slot;
        if (e->dict == sd && ((g_watch.version_source == src && e->ver == m->ver) ||
                              (g_watch.version_source == src + 1 && e->ver == src + 1))) {
            m->ver = e->ver;
            m->v[a] = value;
        } else {
            m->sd = nullptr;
        }
    }
}

SdMemo *current_memo(PyObject *self, PyObject *sd) {
    SdMemo *m = sd_memo(sd);
    if (m && !pyact::make_stores_notify(self, sd)) {
        PyErr_Clear();
        return nullptr;
    }
    return m;
}

// ---- The plan of a twin view ---------------------------------------------------

namespace {

FieldRef view_field(TwinView *v, const char *path) {
    std::string p(path);
    size_t dot = p.find('.');
    return v->find(p.substr(0, dot), p.substr(dot + 1));
}

} // namespace

Plan *plan_for(PyObject *view_obj, TwinView *v) {
    // The view lives in its object, so a plan kept with it was made for this
    // object and never needs replacing (which could free it under a run).
    if (v->consumer_plan)
        return static_cast<Plan *>(v->consumer_plan.get());
    auto pp = std::make_shared<Plan>();
    Plan &p = *pp;
    p.view_obj = view_obj;
    p.v = v;
    p.rows_ok = true;
    auto inp = v->groups.find("inp");
    for (int i = 0; i < kRowSeries; ++i) {
        const SeriesDef &d = kSeries[i];
        FieldRef f = v->find(d.group, d.field);
        p.kind[i] = tel::Kind::Float;
        if (f) {
            p.row[i] = f;
            p.kind[i] = tick::kind_for(f.type);
            if (f.type == CType::UInt64)
                p.u64[p.n_u64++] = f;
            continue;
        }
        if (d.optional && !f && inp != v->groups.end()) {
            nb::handle inp_cls((PyObject *) inp->second.type);
            bool present = true;
            try {
                present = has_attr(inp_cls, d.field);
            } catch (nb::python_error &) {
                present = true;
            }
            if (!present) {
                p.row_nan[i] = true;
                p.inp_missing.push_back(intern_name(d.field));
                continue;
            }
        }
        p.rows_ok = false;
    }
    p.kind[kTimeIndex] = tel::Kind::Float;
    for (int i = 0; i < kRowSeries; ++i) {
        if (!p.row_nan[i] && p.row[i] && p.row[i].type == CType::Double) {
            p.dbl_src[p.n_dbl] = p.row[i].addr;
            p.dbl_col[p.n_dbl++] = i;
        } else if (!p.row_nan[i] && p.row[i] && p.row[i].type == CType::Float) {
            p.f32_src[p.n_f32] = p.row[i].addr;
            p.f32_col[p.n_f32++] = i;
        } else {
            p.other_col[p.n_other++] = i;
        }
    }
    for (int c = 0; c < kNumSeries; ++c)
        p.narrow[c] = p.kind[c] == tel::Kind::Bool;
    for (int k = 0; k < kNumItems; ++k) {
        const ItemDef &d = kItems[k];
        Plan::Src &s = p.items[k];
        s.kind = d.kind;
        switch (d.kind) {
        case ItemKind::Path:
        case ItemKind::Flag:
            s.a = view_field(v, d.path);
            s.ok = (bool) s.a;
            break;
        case ItemKind::VBus:
            s.a = view_field(v, d.path);
            s.b = view_field(v, d.path2);
            s.ok = s.a && s.b;
            break;
        case ItemKind::HasErrors:
            s.ok = true;
            for (size_t j = 0; j < kDebugFlags.size(); ++j) {
                p.debug[j] = v->find("debug", kDebugFlags[j]);
                s.ok = s.ok && p.debug[j];
            }
            break;
        case ItemKind::Const:
        case ItemKind::NaN: s.ok = true; break;
        }
    }
    v->consumer_plan = pp;
    return pp.get();
}

bool inp_port_added(const Plan &plan, TwinView *v) {
    if (plan.inp_missing.empty())
        return false;
    PyObject *inp = v->inp()->obj.ptr();
    nb::object idd = nb::steal(instance_dict(inp));
    if (!idd.is_valid())
        return false;
    uint64_t tag = PyDict_CheckExact(idd.ptr()) ? dict_entries_tag(idd.ptr()) : 0;
    if (tag && plan.inp_seen.idd == idd.ptr() && plan.inp_seen.tag == tag)
        return false;
    for (const nb::object &n : plan.inp_missing)
        if (dict_get(idd.ptr(), n.ptr()))
            return true;
    // Kept only where every store to the structure's attributes reaches its
    // dictionary and so moves its tag.
    if (tag && pyact::make_stores_notify(inp, idd.ptr()))
        plan.inp_seen = {idd.ptr(), dict_entries_tag(idd.ptr())};
    return false;
}

} // namespace vkl::virt
