// Digital-twin catalog: platform targets, asset search, artifact resolution,
// the actuator library file and the limits derived from it.
//
// Module-level names are looked up in the module's namespace at call time,
// so replacing one of them (a function, a constant, `platform`, `yaml`)
// affects every caller, as it would for a plain module.  The file-system
// work and the name matching live in core/catalog.
#include "core/catalog.hpp"
#include "core/pyutil.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>

namespace nb = nanobind;
namespace cat = vkl::catalog;
using namespace vkl;

namespace {

const char *const ENV_ROOT = "VKL_API_VIRTUAL_ASSETS_ROOT";

// ---- small Python helpers ----------------------------------------------------
nb::str S(const char *text) { return nb::str(text); }

nb::str text_of(nb::handle v) { return nb::steal<nb::str>(steal_or_raise(PyObject_Str(v.ptr())).release()); }

nb::str repr_of(nb::handle v) { return nb::steal<nb::str>(steal_or_raise(PyObject_Repr(v.ptr())).release()); }

nb::str join_text(const char *sep, nb::handle items) {
    return nb::steal<nb::str>(steal_or_raise(PyUnicode_Join(S(sep).ptr(), items.ptr())).release());
}

bool is_dict(nb::handle v) { return PyDict_Check(v.ptr()); }

nb::object get(nb::handle mapping, const char *key, nb::handle dflt) {
    return mapping.attr("get")(S(key), dflt);
}
nb::object get(nb::handle mapping, nb::handle key, nb::handle dflt) { return mapping.attr("get")(key, dflt); }

nb::object div(nb::handle a, nb::handle b) { return steal_or_raise(PyNumber_TrueDivide(a.ptr(), b.ptr())); }

// ---- paths between Python and the core ----------------------------------------
std::string fs_bytes(nb::handle p) {
    nb::object s = steal_or_raise(PyOS_FSPath(p.ptr()));
    if (PyBytes_Check(s.ptr()))
        return std::string(PyBytes_AS_STRING(s.ptr()), (size_t) PyBytes_GET_SIZE(s.ptr()));
    nb::object b = steal_or_raise(PyUnicode_EncodeFSDefault(s.ptr()));
    return std::string(PyBytes_AS_STRING(b.ptr()), (size_t) PyBytes_GET_SIZE(b.ptr()));
}

// Native bytes of a path for an existence test; None when the path cannot be
// encoded (such a path does not exist).
bool fs_bytes_for_test(nb::handle p, std::string &out) {
    try {
        out = fs_bytes(p);
        return true;
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError))
            return false;
        throw;
    }
}

nb::str fs_str(const std::string &bytes) {
    return nb::steal<nb::str>(steal_or_raise(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), (Py_ssize_t) bytes.size())).release());
}

std::u32string ucs4(nb::handle s) {
    Py_UCS4 *buf = PyUnicode_AsUCS4Copy(s.ptr());
    if (!buf)
        raise_pending();
    std::u32string out(reinterpret_cast<char32_t *>(buf), (size_t) PyUnicode_GET_LENGTH(s.ptr()));
    PyMem_Free(buf);
    return out;
}

nb::object make_path(const nb::dict &g, const std::string &bytes) { return module_global(g, "Path")(fs_str(bytes)); }

// Run core file-system work, turning its failures into Python exceptions.
template <typename F>
auto fs_guard(F &&f) -> decltype(f()) {
    try {
        return f();
    } catch (const cat::FsError &e) {
        nb::str name = fs_str(e.path);
        errno = e.err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
        raise_pending();
    } catch (const cat::BadPath &e) {
        raise(PyExc_ValueError, e.what());
    }
}

std::string resolved_bytes(nb::handle p) {
    std::string b = fs_bytes(p);
    return fs_guard([&] { return cat::resolve(b); });
}

// Resolve every path and keep the first occurrence of each.
nb::list unique_resolved(const nb::dict &g, nb::handle paths) {
    nb::list out;
    std::vector<std::string> seen;
    for (nb::handle p : paths) {
        std::string r = resolved_bytes(p);
        if (std::find(seen.begin(), seen.end(), r) != seen.end())
            continue;
        seen.push_back(r);
        out.append(make_path(g, r));
    }
    return out;
}

nb::object env_root_value(const nb::dict &g) {
    nb::object environ = module_global(g, "os").attr("environ");
    return environ.attr("get")(S(ENV_ROOT));
}

const cat::NamePattern &versioned_pattern() {
    static const cat::NamePattern p(U"digital_twin_libs_bindings_*");
    return p;
}
const cat::NamePattern &bindings_pattern() {
    static const cat::NamePattern p(U"bindings_*.py");
    return p;
}
const cat::NamePattern &library_pattern() {
    static const cat::NamePattern p(U"lib*");
    return p;
}

// ---- the lazy entry iterator ------------------------------------------------------
// A generator over (name, entry) pairs: nothing is looked at before the first
// item is requested, and a failure ends it.
struct EntryGenerator {
    nb::object data;
    nb::object items;
    enum State { Fresh, Nested, Flat, Done } state = Fresh;

    nb::object next() {
        if (state == Done)
            throw nb::stop_iteration();
        try {
            if (state == Fresh) {
                nb::object actuators = get(data, "actuators", nb::none());
                if (is_dict(actuators)) {
                    items = steal_or_raise(PyObject_GetIter(actuators.attr("items")().ptr()));
                    state = Nested;
                } else {
                    items = steal_or_raise(PyObject_GetIter(data.attr("items")().ptr()));
                    state = Flat;
                }
            }
            while (true) {
                PyObject *it = PyIter_Next(items.ptr());
                if (!it) {
                    if (PyErr_Occurred())
                        raise_pending();
                    finish();
                    throw nb::stop_iteration();
                }
                nb::object pair = nb::steal(it);
                nb::object key = pair[0], value = pair[1];
                if (state == Nested)
                    return nb::make_tuple(key, value);
                if (!is_dict(value))
                    continue;
                return nb::make_tuple(text_of(key), value);
            }
        } catch (nb::python_error &) {
            finish();
            throw;
        }
    }
    void finish() {
        state = Done;
        items = nb::object();
        data = nb::object();
    }
};

// ---- schema building ------------------------------------------------------------
nb::object optional_of(nb::handle tp) { return steal_or_raise(PyNumber_Or(tp.ptr(), Py_None)); }

nb::object make_schema(nb::handle base, const char *name, nb::handle module_name,
                       std::initializer_list<std::pair<const char *, nb::object>> fields) {
    nb::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = S(name);
    nb::dict ann;
    for (auto &f : fields)
        ann[f.first] = optional_of(f.second);
    ns["__annotations__"] = ann;
    for (auto &f : fields)
        ns[f.first] = nb::none();
    nb::object meta = nb::borrow((PyObject *) Py_TYPE(base.ptr()));
    return meta(S(name), nb::make_tuple(base), ns);
}


// Module state: the namespace every function reads at call time, and the
// class of the lazy entry iterator (kept out of the namespace).
struct State {
    nb::dict g;
    nb::object entry_generator_type;
};
using StateP = std::shared_ptr<State>;

// ---- stand-ins without pydantic ------------------------------------------------------
// BaseModel.model_validate: a mapping passes unchanged, anything else is the
// module's ValidationError.
nb::object model_validate(const nb::dict &g, nb::handle cls, nb::handle value) {
    if (is_dict(value))
        return nb::borrow(value);
    nb::str msg = concat_text({nb::getattr(cls, "__name__"), S(" expects a mapping")});
    raise_text(module_global(g, "ValidationError").ptr(), msg);
}

// ---- platform detection and artifact targets ----------------------------------------------
nb::object cpu_vendor() {
    auto v = fs_guard([] { return cat::cpu_vendor("/proc/cpuinfo"); });
    if (!v || v->empty())
        return nb::none();
    return S(v->c_str());
}

nb::object get_platform_key(const nb::dict &g) {
    nb::object platform = module_global(g, "platform");
    nb::object system = platform.attr("system")().attr("lower")();
    if (eq(system, S("linux"))) {
        try {
            nb::object proc = platform.attr("processor")().attr("lower")();
            if (contains(proc, S("amd")))
                return S("linux64_amd");
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
        }
        return S("linux64_intel");
    }
    if (eq(system, S("darwin"))) {
        try {
            if (eq(platform.attr("machine")().attr("lower")(), S("arm64")))
                return S("macos_arm");
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
        }
        return S("macos_intel");
    }
    if (eq(system, S("windows")))
        return S("win64");
    return S("linux64_intel");
}

nb::object platform_artifact_targets(const nb::dict &g) {
    nb::object platform = module_global(g, "platform");
    nb::object system = platform.attr("system")();
    nb::object machine = platform.attr("machine")().attr("lower")();
    nb::object vendor = module_global(g, "_cpu_vendor")();
    auto x86 = [&](const char *intel, const char *amd) {
        nb::list out;
        if (eq(vendor, S("Intel")))
            out.append(S(intel));
        if (eq(vendor, S("AMD")))
            out.append(S(amd));
        for (const char *n : {intel, amd})
            if (!contains(out, S(n)))
                out.append(S(n));
        return out;
    };
    if (eq(system, S("Linux"))) {
        if (contains(machine, S("arm")) || contains(machine, S("aarch64"))) {
            nb::list out;
            out.append(S("ARMCompatible_ARM64bitLP64"));
            return out;
        }
        return x86("Intel_x8664Linux64", "AMD_x8664Linux64");
    }
    if (eq(system, S("Darwin"))) {
        nb::list out;
        out.append(S(eq(machine, S("arm64")) ? "Apple_ARM64" : "Intel_x8664macOS"));
        return out;
    }
    if (eq(system, S("Windows"))) {
        if (contains(machine, S("arm"))) {
            nb::list out;
            out.append(S("ARMCompatible_ARM64bitLP64"));
            return out;
        }
        return x86("Intel_x8664Windows64", "AMD_x8664Windows64");
    }
    raise_text(PyExc_RuntimeError, concat_text({S("Unsupported platform: "), system, S(" / "), machine}));
}

// ---- asset root search ---------------------------------------------------------------------
nb::object candidate_project_roots(const nb::dict &g) {
    nb::list roots;
    nb::object env = env_root_value(g);
    if (truth(env))
        roots.append(module_global(g, "Path")(env));
    std::string module_file = resolved_bytes(module_global(g, "Path")(module_global(g, "__file__")));
    std::string package_root = cat::parent(cat::parent(module_file));
    roots.append(make_path(g, package_root));
    roots.append(make_path(g, cat::parent(package_root)));
    return unique_resolved(g, roots);
}

nb::object bindings_roots_under(const nb::dict &g, nb::handle base) {
    nb::list out;
    out.append(div(base, S("digital_twin_libs_bindings")));
    std::string dir = fs_bytes(base);
    if (cat::is_dir(dir)) {
        auto names = fs_guard([&] { return cat::matching_entries(dir, versioned_pattern(), true); });
        for (auto &n : names)
            out.append(div(base, fs_str(n)));
    }
    return out;
}

nb::object candidate_bindings_roots(const nb::dict &g, nb::handle search_root) {
    nb::list candidates;
    if (!search_root.is_none())
        candidates.append(module_global(g, "Path")(search_root));
    nb::object env = env_root_value(g);
    if (truth(env))
        candidates.append(module_global(g, "Path")(env));
    for (nb::handle p : module_global(g, "_candidate_project_roots")())
        candidates.append(p);
    nb::list expanded;
    for (nb::handle d : candidates) {
        expanded.append(d);
        nb::object under = module_global(g, "_bindings_roots_under");
        nb::object assets = div(div(d, S("assets")), S("actuators"));
        nb::object data_assets = div(div(div(d, S("data")), S("assets")), S("actuators"));
        nb::object actuators = div(d, S("actuators"));
        for (nb::handle base : {nb::handle(d), nb::handle(assets), nb::handle(data_assets), nb::handle(actuators)})
            for (nb::handle p : under(base))
                expanded.append(p);
    }
    return unique_resolved(g, expanded);
}

nb::object get_project_root(const nb::dict &g) {
    for (nb::handle p : module_global(g, "_candidate_project_roots")()) {
        if (cat::is_dir(cat::join(fs_bytes(p), "data/assets")))
            return nb::borrow(p);
    }
    nb::list searched;
    for (nb::handle p : module_global(g, "_candidate_project_roots")())
        searched.append(text_of(p));
    raise_text(PyExc_FileNotFoundError,
               concat_text({S("Could not find a project root with data/assets. Set VKL_API_VIRTUAL_ASSETS_ROOT "
                           "or pass library_path explicitly. Searched: "),
                         join_text(", ", searched)}));
}

nb::object find_dtwin_bindings_root(const nb::dict &g, nb::handle search_root) {
    for (nb::handle p : module_global(g, "_candidate_bindings_roots")(search_root)) {
        std::string dir;
        if (!fs_bytes_for_test(p, dir) || !cat::is_dir(dir))
            continue;
        if (!fs_guard([&] { return cat::has_matching_entry(dir, bindings_pattern()); }))
            continue;
        if (!fs_guard([&] { return cat::has_matching_entry(dir, library_pattern()); }))
            continue;
        return nb::borrow(p);
    }
    nb::list searched;
    for (nb::handle p : module_global(g, "_candidate_bindings_roots")(search_root))
        searched.append(text_of(p));
    raise_text(PyExc_FileNotFoundError,
               concat_text({S("Could not find DTwin bindings. Set VKL_API_VIRTUAL_ASSETS_ROOT, pass a bindings "
                           "root, or keep artifacts under assets/actuators/digital_twin_libs_bindings_<version>. "
                           "Searched: "),
                         join_text(", ", searched)}));
}

// ---- artifact resolution and model discovery ---------------------------------------------------
nb::object resolve_dtwin_artifacts(const nb::dict &g, nb::handle model_name, nb::handle bindings_root) {
    nb::str model = arg_str(model_name, "model_name");
    nb::object root = module_global(g, "find_dtwin_bindings_root")(bindings_root);
    std::string dir = fs_bytes(root);
    nb::list tried;
    for (nb::handle target : module_global(g, "platform_artifact_targets")()) {
        nb::str t = format_text(target);
        nb::object binding = div(root, concat_text({S("bindings_"), model, S("_"), t, S(".py")}));
        cat::NamePattern lib_pattern(ucs4(concat_text({S("lib"), model, S("_"), t, S(".*")})));
        auto libs = fs_guard([&] { return cat::matching_entries(dir, lib_pattern); });
        tried.append(concat_text({model, S("_"), t}));
        std::string binding_bytes;
        if (fs_bytes_for_test(binding, binding_bytes) && cat::exists(binding_bytes) && !libs.empty())
            return module_global(g, "DTwinPaths")(nb::arg("library") = div(root, fs_str(libs.front())),
                                           nb::arg("py_bindings") = binding);
    }
    cat::NamePattern avail_pattern(ucs4(concat_text({S("bindings_"), model, S("_*.py")})));
    nb::list available;
    for (auto &n : fs_guard([&] { return cat::matching_entries(dir, avail_pattern); }))
        available.append(fs_str(n));
    raise_text(PyExc_FileNotFoundError,
               concat_text({S("No DTwin artifacts found for "), repr_of(model),
                         S(" on this platform. Tried targets: "), repr_of(tried),
                         S(". Available bindings for this model: "), repr_of(available)}));
}

nb::object list_available_dtwin_artifacts(const nb::dict &g, nb::handle bindings_root) {
    nb::object root = module_global(g, "find_dtwin_bindings_root")(bindings_root);
    std::string dir = fs_bytes(root);
    nb::list out;
    for (auto &n : fs_guard([&] { return cat::artifact_model_names(dir); }))
        out.append(S(n.c_str()));
    return out;
}

// ---- actuator library loading and catalog ------------------------------------------------------
nb::object format_validation_error(nb::handle exc, nb::handle source) {
    int has = PyObject_HasAttrWithError(exc.ptr(), S("errors").ptr());
    if (has < 0)
        raise_pending();
    if (!has) {
        nb::str text = text_of(exc);
        if (truth(text))
            return text;
        return concat_text({S("Invalid "), source});
    }
    nb::list parts;
    for (nb::handle err : exc.attr("errors")()) {
        nb::list locs;
        for (nb::handle p : get(err, "loc", nb::tuple()))
            locs.append(text_of(p));
        nb::str loc = join_text(".", locs);
        nb::object msg = get(err, "msg", S("invalid value"));
        if (truth(loc))
            parts.append(concat_text({loc, S(": "), msg}));
        else
            parts.append(msg);
    }
    size_t n = nb::len(parts);
    if (n == 0)
        return concat_text({S("Invalid "), source});
    if (n <= 5)
        return join_text("; ", parts);
    nb::object first = steal_or_raise(PyList_GetSlice(parts.ptr(), 0, 5));
    return concat_text({join_text("; ", first), S("; ... (+"), nb::int_(n - 5), S(" more)")});
}

nb::object validate_actuator_library_data(const nb::dict &g, nb::handle data, nb::handle source) {
    nb::object table = contains(data, S("actuators")) ? nb::object(data[S("actuators")]) : nb::borrow(data);
    if (!is_dict(table))
        raise_text(PyExc_ValueError,
                   concat_text({S("Invalid "), source, S(": 'actuators' must be a mapping of name -> spec")}));
    for (nb::handle item : table.attr("items")()) {
        nb::object name = item[0], spec = item[1];
        if (!is_dict(spec))
            raise_text(PyExc_ValueError, concat_text({S("Invalid "), source, S(": actuator '"), name,
                                                   S("' must map to a YAML object")}));
        try {
            module_global(g, "ActuatorLibraryEntry").attr("model_validate")(spec);
        } catch (nb::python_error &e) {
            if (!e.matches(module_global(g, "ValidationError")))
                throw;
            nb::object exc = nb::borrow(e.value());
            nb::object details =
                module_global(g, "_format_validation_error")(exc, concat_text({source, S(":"), name}));
            nb::object err = steal_or_raise(PyObject_CallOneArg(
                PyExc_ValueError,
                concat_text({S("Invalid actuator '"), name, S("' in "), source, S(": "), details}).ptr()));
            PyException_SetContext(err.ptr(), Py_NewRef(exc.ptr()));
            PyException_SetCause(err.ptr(), Py_NewRef(exc.ptr()));
            PyErr_SetRaisedException(err.release().ptr());
            raise_pending();
        }
    }
    return nb::borrow(data);
}

nb::object load_actuator_library_data(const nb::dict &g, nb::handle path) {
    nb::object library_path = module_global(g, "Path")(path);
    std::string bytes;
    if (!fs_bytes_for_test(library_path, bytes) || !cat::exists(bytes))
        raise_text(PyExc_FileNotFoundError, concat_text({S("Actuator library not found: "), library_path}));
    nb::object yaml = module_global(g, "yaml");
    if (yaml.is_none())
        raise(PyExc_ImportError, "PyYAML is required to load actuator library files.");
    nb::object f = builtins().attr("open")(library_path, S("r"), nb::arg("encoding") = S("utf-8"));
    nb::object data;
    try {
        data = yaml.attr("safe_load")(f);
    } catch (nb::python_error &) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    if (!truth(data))
        data = nb::dict();
    if (!is_dict(data))
        raise_text(PyExc_ValueError, concat_text({S("Invalid actuator library at "), library_path,
                                               S(": top-level YAML must be a mapping")}));
    return module_global(g, "validate_actuator_library_data")(data, text_of(library_path));
}

nb::object iter_actuator_library_entries(const State &S, nb::handle data) {
    nb::object gen = S.entry_generator_type();
    nb::inst_ptr<EntryGenerator>(gen)->data = nb::borrow(data);
    return gen;
}

nb::object get_library_path(const nb::dict &g) {
    return module_global(g, "_get_project_root")().attr("joinpath")(S("data"), S("assets"), S("actuators"),
                                                              S("actuators_library.yaml"));
}

nb::object load_actuator_library(const nb::dict &g, nb::handle library_path_arg) {
    nb::object library_path = nb::borrow(library_path_arg);
    if (library_path.is_none())
        library_path = module_global(g, "_get_library_path")();
    library_path = module_global(g, "Path")(library_path);
    std::string bytes;
    if (!fs_bytes_for_test(library_path, bytes) || !cat::exists(bytes))
        raise_text(PyExc_FileNotFoundError, concat_text({S("Actuator library not found: "), library_path}));
    nb::object data = module_global(g, "load_actuator_library_data")(library_path);
    nb::dict catalog;
    nb::object platform_key = module_global(g, "_get_platform_key")();
    std::string base_bytes = cat::parent(cat::parent(cat::parent(resolved_bytes(library_path))));
    nb::object base = make_path(g, base_bytes);
    nb::object DTwinPaths = module_global(g, "DTwinPaths");
    nb::object ActuatorSpec = module_global(g, "ActuatorSpec");
    // Sections that are null (or not mappings) count as absent.
    auto section = [](nb::handle mapping, nb::handle key) -> nb::object {
        if (!is_dict(mapping))
            return nb::dict();
        nb::object v = get(mapping, key, nb::dict());
        return is_dict(v) ? v : nb::object(nb::dict());
    };
    for (nb::handle pair : module_global(g, "iter_actuator_library_entries")(data)) {
        nb::object name = pair[0], spec = pair[1];
        nb::object simulation = section(spec, S("simulation"));
        nb::object dtwin_config = section(section(simulation, S("dtwin_model")), platform_key);
        nb::object library_rel = get(dtwin_config, "library", nb::none());
        nb::object bindings_rel = get(dtwin_config, "py_bindings", nb::none());
        nb::object dtwin_paths = nb::none();
        bool have_lib = truth(library_rel), have_bind = truth(bindings_rel);
        if (have_lib || have_bind)
            dtwin_paths = DTwinPaths(nb::arg("library") = have_lib ? div(base, library_rel) : nb::none(),
                                     nb::arg("py_bindings") = have_bind ? div(base, bindings_rel) : nb::none());
        catalog[name] = ActuatorSpec(nb::arg("name") = name, nb::arg("dtwin_paths") = dtwin_paths,
                                     nb::arg("mujoco_config") = get(simulation, "mujoco", nb::none()),
                                     nb::arg("raw_spec") = spec);
    }
    return catalog;
}

nb::object get_actuator_spec(const nb::dict &g, nb::handle name, nb::handle library_path) {
    nb::object library = module_global(g, "load_actuator_library")(library_path);
    if (!contains(library, name)) {
        nb::list names;
        for (nb::handle k : library)
            names.append(text_of(k));
        names.sort();
        raise_text(PyExc_KeyError, concat_text({S("Actuator '"), name, S("' not found. Available: "),
                                             join_text(", ", names)}));
    }
    return library[name];
}

nb::object list_available_actuators(const nb::dict &g, nb::handle library_path) {
    if (library_path.is_none()) {
        try {
            return module_global(g, "list_available_dtwin_artifacts")();
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_FileNotFoundError))
                throw;
        }
    }
    return steal_or_raise(PySequence_List(module_global(g, "load_actuator_library")(library_path).ptr()));
}

// ---- limit derivation ------------------------------------------------------------
struct Points {
    nb::object rated, peak;
};

Points operating_points(nb::handle raw_spec) {
    nb::dict spec = arg_dict(raw_spec, "raw_spec");
    nb::object op = get(spec, "technical_specifications", nb::dict());
    op = get(op, "performance", nb::dict());
    op = get(op, "operating_points", nb::dict());
    nb::object rated = get(op, "rated", nb::none());
    nb::object peak = get(op, "peak", nb::none());
    return Points{truth(rated) ? rated : nb::object(nb::dict()), truth(peak) ? peak : nb::object(nb::dict())};
}

nb::object mul(nb::handle a, nb::handle b) { return steal_or_raise(PyNumber_Multiply(a.ptr(), b.ptr())); }

nb::object resolve_torque_limit(const nb::dict &g, nb::handle raw_spec) {
    Points p = operating_points(raw_spec);
    nb::object v = get(p.peak, "stall_torque_Nm", nb::none());
    if (!v.is_none())
        return to_float(v);
    v = get(p.peak, "peak_torque_Nm", nb::none());
    if (!v.is_none())
        return mul(to_float(v), module_global(g, "SAFETY_FACTOR_PEAK_TO_STALL"));
    v = get(p.rated, "rated_torque_Nm", nb::none());
    if (!v.is_none())
        return mul(to_float(v), module_global(g, "SAFETY_FACTOR_RATED_TO_STALL"));
    return nb::none();
}

nb::object resolve_speed_limit(const nb::dict &g, nb::handle raw_spec) {
    Points p = operating_points(raw_spec);
    nb::object v = get(p.peak, "maximum_speed_rpm", nb::none());
    if (!v.is_none())
        return mul(to_float(v), module_global(g, "_RPM_TO_RAD_S"));
    v = get(p.rated, "rated_speed_rpm", nb::none());
    if (!v.is_none())
        return mul(mul(to_float(v), module_global(g, "SAFETY_FACTOR_RATED_TO_MAX_SPEED")),
                   module_global(g, "_RPM_TO_RAD_S"));
    return nb::none();
}

// ---- bindings -------------------------------------------------------------------------
// Imports, and stand-ins for the optional dependencies.
void bind_namespace(nb::module_ &m, const StateP &s) {
    nb::object module_name = m.attr("__name__");
    nb::dict g = nb::borrow<nb::dict>(m.attr("__dict__"));
    nb::object b = builtins();
    // ---- imports ---------------------------------------------------------------
    m.attr("os") = nb::module_::import_("os");
    m.attr("platform") = nb::module_::import_("platform");
    m.attr("re") = nb::module_::import_("re");
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    m.attr("dataclass") = dataclasses.attr("dataclass");
    nb::module_ functools = nb::module_::import_("functools");
    m.attr("lru_cache") = functools.attr("lru_cache");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("Any") = nb::module_::import_("typing").attr("Any");

    // pydantic is optional: without it the module defines its three names.
    bool have_pydantic = true;
    try {
        const std::vector<const char *> names = {"BaseModel", "ConfigDict", "ValidationError"};
        std::vector<nb::object> values = import_from(g, "pydantic", names);
        for (size_t i = 0; i < names.size(); ++i)
            m.attr(names[i]) = values[i];
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        have_pydantic = false;
    }
    if (!have_pydantic) {
        nb::dict ns;
        ns["__module__"] = module_name;
        ns["__qualname__"] = S("ValidationError");
        m.attr("ValidationError") =
            b.attr("type")(S("ValidationError"), nb::make_tuple(nb::handle(PyExc_ValueError)), ns);

        make_function(m, "ConfigDict",
                      [](nb::kwargs kwargs) -> nb::object { return steal_or_raise(PyDict_Copy(kwargs.ptr())); },
                      nullptr);

        ClassBuilder base("BaseModel", module_name);
        base.attr("model_config", nb::dict());
        base.def_classmethod(
            "model_validate", [s](nb::handle cls, nb::handle value) { return model_validate(s->g, cls, value); },
            arg("value"));
        m.attr("BaseModel") = base.finish();
    }

    // PyYAML is optional too; loading a file then fails.
    {
        PyObject *y = PyImport_ImportModule("yaml");
        if (!y) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError))
                raise_pending();
            PyErr_Clear();
            m.attr("yaml") = nb::none();
        } else {
            m.attr("yaml") = nb::steal(y);
        }
    }
}

// The result types, the constants of the limit derivation and the library schema.
void bind_types(nb::module_ &m) {
    nb::object module_name = m.attr("__name__");
    nb::dict g = nb::borrow<nb::dict>(m.attr("__dict__"));
    nb::object b = builtins();
    nb::object Path = module_global(g, "Path");
    nb::object Any = module_global(g, "Any");
    nb::object dict_type = nb::borrow((PyObject *) &PyDict_Type);
    nb::object str_type = nb::borrow((PyObject *) &PyUnicode_Type);
    nb::object float_type = nb::borrow((PyObject *) &PyFloat_Type);
    nb::object int_type = nb::borrow((PyObject *) &PyLong_Type);
    nb::object dict_str_any = dict_type[nb::make_tuple(str_type, Any)];

    nb::object DTwinPaths;
    {
        nb::dict ns;
        ns["__module__"] = module_name;
        ns["__qualname__"] = S("DTwinPaths");
        ns["__doc__"] = S("Digital-twin library and bindings paths.");
        nb::dict ann;
        ann["library"] = optional_of(Path);
        ann["py_bindings"] = optional_of(Path);
        ns["__annotations__"] = ann;
        DTwinPaths =
            module_global(g, "dataclass")(b.attr("type")(S("DTwinPaths"), nb::make_tuple(b.attr("object")), ns));
        m.attr("DTwinPaths") = DTwinPaths;
    }
    {
        nb::dict ns;
        ns["__module__"] = module_name;
        ns["__qualname__"] = S("ActuatorSpec");
        ns["__doc__"] = S("Specification for an actuator type loaded from the actuator library.");
        nb::dict ann;
        ann["name"] = str_type;
        ann["dtwin_paths"] = optional_of(DTwinPaths);
        ann["mujoco_config"] = optional_of(dict_str_any);
        ann["raw_spec"] = optional_of(dict_str_any);
        ns["__annotations__"] = ann;
        ns["dtwin_paths"] = nb::none();
        ns["mujoco_config"] = nb::none();
        ns["raw_spec"] = nb::none();
        m.attr("ActuatorSpec") =
            module_global(g, "dataclass")(b.attr("type")(S("ActuatorSpec"), nb::make_tuple(b.attr("object")), ns));
    }

    // ---- constants of the limit derivation ----------------------------------------------
    m.attr("SAFETY_FACTOR_PEAK_TO_STALL") = nb::float_(1.4);
    m.attr("SAFETY_FACTOR_RATED_TO_STALL") = nb::float_(5.0);
    m.attr("SAFETY_FACTOR_RATED_TO_MAX_SPEED") = nb::float_(1.2);
    m.attr("_RPM_TO_RAD_S") = nb::float_(0.10471975511965977);

    // ---- actuator library schema ---------------------------------------------------
    {
        nb::object BaseModel = module_global(g, "BaseModel");
        nb::dict ns;
        ns["__module__"] = module_name;
        ns["__qualname__"] = S("ActuatorBaseModel");
        ns["model_config"] = module_global(g, "ConfigDict")(nb::arg("extra") = S("allow"));
        nb::object meta = nb::borrow((PyObject *) Py_TYPE(BaseModel.ptr()));
        nb::object A = meta(S("ActuatorBaseModel"), nb::make_tuple(BaseModel), ns);
        m.attr("ActuatorBaseModel") = A;

        nb::object num = float_type, txt = str_type;
        auto def = [&](const char *name, std::initializer_list<std::pair<const char *, nb::object>> fields) {
            nb::object c = make_schema(A, name, module_name, fields);
            m.attr(name) = c;
            return c;
        };
        nb::object DTwinPlatformSpec = def("DTwinPlatformSpec", {{"library", txt}, {"py_bindings", txt}});
        nb::object ProductOverview =
            def("ProductOverview", {{"product_name", txt}, {"description", txt}, {"manufacturer", txt},
                                    {"actuator_type", txt}, {"full_revision_id", txt}, {"size_class", txt}});
        nb::object Rated = def("RatedOperatingPoint",
                               {{"rated_voltage_V", num}, {"rated_current_A", num}, {"rated_torque_Nm", num},
                                {"rated_speed_rpm", num}, {"rated_efficiency_percent", num}});
        nb::object Peak = def("PeakOperatingPoint",
                              {{"peak_torque_Nm", num}, {"current_at_peak_torque_A", num}, {"maximum_speed_rpm", num},
                               {"stall_torque_Nm", num}, {"stall_current_A", num}});
        nb::object OperatingPoints = def("OperatingPoints", {{"rated", Rated}, {"peak", Peak}});
        nb::object PerformanceSpec = def("PerformanceSpec", {{"operating_points", OperatingPoints}});
        nb::object Thresholds = def("TemperatureThresholds", {{"safe_max_C", num}, {"critical_max_C", num}});
        nb::object InternalTemps = def("InternalTemperatureLimits", {{"motor", Thresholds}, {"pcb", Thresholds}});
        nb::object SafetyLimits = def("SafetyLimits", {{"internal_temps", InternalTemps}});
        nb::object Geometry = def("GeometrySpec", {{"gear_ratio", num}, {"outer_diam_mm", num}});
        nb::object Inertia = def("InertiaSpec",
                                 {{"rotor_inertia_kgm2", num}, {"output_inertia_total_kgm2", num}, {"source", txt}});
        nb::object Friction = def("FrictionSpec", {{"static_friction_Nm", num},
                                                   {"coulomb_friction_Nm", num},
                                                   {"viscous_friction_Nms_per_rad", num}});
        nb::object Packaging = def("PackagingConnectivity", {{"total_weight_framed_kg", num}});
        nb::object Mechanical = def("MechanicalSpec", {{"geometry", Geometry},
                                                       {"inertias", Inertia},
                                                       {"friction", Friction},
                                                       {"packaging_connectivity", Packaging}});
        nb::object Electrical = def("ElectricalSpec", {{"rated_current_A", num}});
        nb::object Technical = def("TechnicalSpecifications", {{"performance", PerformanceSpec},
                                                               {"safety_limits", SafetyLimits},
                                                               {"mechanical", Mechanical},
                                                               {"electrical", Electrical}});
        nb::object Simulation =
            def("SimulationSpec", {{"mujoco", dict_str_any},
                                   {"dtwin_model", dict_type[nb::make_tuple(str_type, DTwinPlatformSpec)]}});
        nb::object number = steal_or_raise(PyNumber_Or(float_type.ptr(), int_type.ptr()));
        nb::object param_value = steal_or_raise(PyNumber_Or(number.ptr(), Py_None));
        nb::object Control =
            def("ControlSpec", {{"default_parameters", dict_type[nb::make_tuple(str_type, param_value)]}});
        def("ActuatorLibraryEntry", {{"type", txt},
                                     {"gear_ratio", num},
                                     {"rotor_inertia", num},
                                     {"rotor_inertia_kgm2", num},
                                     {"nominal_torque", num},
                                     {"peak_torque", num},
                                     {"max_velocity", num},
                                     {"mass", num},
                                     {"product_overview", ProductOverview},
                                     {"technical_specifications", Technical},
                                     {"simulation", Simulation},
                                     {"control", Control}});
    }
}

void bind_platform(nb::module_ &m, const StateP &s) {
    make_function(
        m, "_cpu_vendor", &cpu_vendor,
        nullptr);
    make_function(
        m, "_get_platform_key", [s]() { return get_platform_key(s->g); },
        "Get the platform key used in the actuator-library dtwin lookup.");
    make_function(
        m, "platform_artifact_targets", [s]() { return platform_artifact_targets(s->g); },
        "Return DTwin artifact suffixes ordered for the current platform.\n\n"
        "The best match comes first; callers try the targets in order.");
}

void bind_search(nb::module_ &m, const StateP &s) {
    make_function(
        m, "_candidate_project_roots", [s]() { return candidate_project_roots(s->g); },
        nullptr);
    make_function(
        m, "_bindings_roots_under", [s](nb::handle base) { return bindings_roots_under(s->g, base); },
        nullptr, arg("base"));
    make_function(
        m, "_candidate_bindings_roots",
        [s](nb::handle search_root) { return candidate_bindings_roots(s->g, search_root); },
        nullptr, arg("search_root") = nb::none());
    make_function(
        m, "_get_project_root", [s]() { return get_project_root(s->g); },
        "Find a project root containing ``data/assets``.\n\n"
        "The package bundles no assets: point the loader at an external checkout by\n"
        "setting ``VKL_API_VIRTUAL_ASSETS_ROOT``.");
    make_function(
        m, "find_dtwin_bindings_root",
        [s](nb::handle search_root) { return find_dtwin_bindings_root(s->g, search_root); },
        "Find a directory containing generated DTwin bindings and libraries.", arg("search_root") = nb::none());
}

void bind_artifacts(nb::module_ &m, const StateP &s) {
    make_function(
        m, "resolve_dtwin_artifacts",
        [s](nb::handle model_name, nb::handle bindings_root) {
            return resolve_dtwin_artifacts(s->g, model_name, bindings_root);
        },
        "Resolve the DTwin shared library and Python bindings of a model for this platform.\n\n"
        "The artifact targets of the running platform are tried in order; the first one\n"
        "with both a bindings file and a library wins.",
        arg("model_name"), arg("bindings_root") = nb::none());
    make_function(
        m, "list_available_dtwin_artifacts",
        [s](nb::handle bindings_root) { return list_available_dtwin_artifacts(s->g, bindings_root); },
        "List DTwin model names discoverable from generated artifact filenames.", arg("bindings_root") = nb::none());
}

// The generator class stays out of the namespace; the state keeps it.
void bind_entry_generator(nb::module_ &m, const StateP &s) {
    nb::class_<EntryGenerator>(m, "_EntryGenerator")
        .def(nb::init<>())
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](EntryGenerator &gen) { return gen.next(); })
        .def("send",
             [](EntryGenerator &gen, nb::handle value) {
                 if (gen.state == EntryGenerator::Fresh && !value.is_none())
                     raise(PyExc_TypeError, "can't send non-None value to a just-started generator");
                 return gen.next();
             },
             nb::arg("value").none())
        .def("throw",
             [](EntryGenerator &gen, nb::handle typ, nb::handle val, nb::handle) -> nb::object {
                 gen.finish();
                 PyObject *t = typ.ptr();
                 if (PyExceptionInstance_Check(t)) {
                     PyErr_SetRaisedException(Py_NewRef(t));
                 } else if (PyExceptionClass_Check(t)) {
                     PyErr_SetObject(t, val.is_none() ? nullptr : val.ptr());
                 } else {
                     PyErr_Format(PyExc_TypeError,
                                  "exceptions must be classes or instances deriving from BaseException, not %s",
                                  tp_name_of(typ));
                 }
                 raise_pending();
             },
             nb::arg("typ").none(), nb::arg("val").none() = nb::none(), nb::arg("tb").none() = nb::none())
        .def("close", [](EntryGenerator &gen) { gen.finish(); });
    s->entry_generator_type = m.attr("_EntryGenerator");
    nb::delattr(m, "_EntryGenerator");
}

void bind_library(nb::module_ &m, const StateP &s) {
    make_function(
        m, "_format_validation_error", &format_validation_error,
        nullptr, arg("exc"), arg("source"));
    make_function(
        m, "validate_actuator_library_data",
        [s](nb::handle data, nb::handle source) { return validate_actuator_library_data(s->g, data, source); },
        "Validate actuator-library data and return it unchanged.", arg("data"),
        arg("source") = nb::str("actuators_library.yaml"));
    make_function(
        m, "load_actuator_library_data", [s](nb::handle path) { return load_actuator_library_data(s->g, path); },
        "Load and validate the top-level mapping of an actuator library file.", arg("path"));
    make_function(
        m, "iter_actuator_library_entries", [s](nb::handle data) { return iter_actuator_library_entries(*s, data); },
        "Yield (name, entry) pairs of actuator-library data in file order.", arg("data"));

    nb::object lru_cache = module_global(s->g, "lru_cache");
    nb::object library_path_fn = make_function(
        m, "_get_library_path", [s]() { return get_library_path(s->g); },
        nullptr);
    m.attr("_get_library_path") = lru_cache(nb::arg("maxsize") = 1)(library_path_fn);
    nb::object load_library = make_function(
        m, "load_actuator_library",
        [s](nb::handle library_path_arg) { return load_actuator_library(s->g, library_path_arg); },
        "Load the actuator library into a catalog of actuator specifications.\n\n"
        "Results are memoized per argument and shared by all callers.",
        arg("library_path") = nb::none());
    m.attr("load_actuator_library") = lru_cache(nb::arg("maxsize") = 8)(load_library);
    make_function(
        m, "get_actuator_spec",
        [s](nb::handle name, nb::handle library_path) { return get_actuator_spec(s->g, name, library_path); },
        "Return the specification of one actuator type from the actuator library.", arg("name"),
        arg("library_path") = nb::none());
    make_function(
        m, "list_available_actuators",
        [s](nb::handle library_path) { return list_available_actuators(s->g, library_path); },
        "List available actuator names, preferring the DTwin artifacts found on disk.",
        arg("library_path") = nb::none());
}

void bind_limits(nb::module_ &m, const StateP &s) {
    make_function(m, "resolve_torque_limit", [s](nb::handle raw_spec) { return resolve_torque_limit(s->g, raw_spec); },
                  "Resolve a torque limit from the actuator specification.", arg("raw_spec"));
    make_function(m, "resolve_speed_limit", [s](nb::handle raw_spec) { return resolve_speed_limit(s->g, raw_spec); },
                  "Resolve a speed limit from the actuator specification.", arg("raw_spec"));
}

} // namespace

VKL_MODULE(_twin_catalog, m) {
    module_init_common();
    auto s = std::make_shared<State>();
    s->g = nb::borrow<nb::dict>(m.attr("__dict__"));
    bind_namespace(m, s);
    bind_types(m);
    bind_platform(m, s);
    bind_search(m, s);
    bind_artifacts(m, s);
    bind_entry_generator(m, s);
    bind_library(m, s);
    bind_limits(m, s);
}
