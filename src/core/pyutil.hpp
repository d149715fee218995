// Shared helper layer of every vkl_api extension module.
//
// Argument rules (one place for every module, so the TypeError texts match):
//   int          exact int unchanged; any other number through int(); else TypeError
//   float        the interpreter's float conversion (real numbers only)
//   float|None   None kept, any other number to float, else TypeError
//   list / dict / str   exactly that type (subclasses and None refused)
//   str|None     exactly a str, or None
// TypeError text: "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
//
// One helper each for the small things every module needs: steal_or_raise
// (results of C-API calls), intern_name, module_global (names read at call
// time, NameError as the language raises it), eq, and formatting
// (format_text / concat_text as Python text, py_format / py_str as UTF-8).
//
// Also: the module entry VKL_MODULE (errors reach the importer unchanged),
// from-imports and the sibling-import step (top-level modules first, package
// modules on ImportError), warnings attributed to the Python caller's line, logging through a given logger,
// and a small builder that assembles ordinary Python classes (instance state in
// __dict__, methods bound through the descriptor protocol) from C++ callables.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

namespace vkl {
namespace nb = nanobind;

// ---- classes ------------------------------------------------------------
// The class has a version tag (given one now if it had none).  Any change to
// the class or a base gives it a new one, and tags are never reused, so what
// was learnt of a class under a tag holds while the tag does.
inline bool has_version_tag(PyTypeObject *t) {
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) || PyUnstable_Type_AssignVersionTag(t);
}

// ---- reference counts ---------------------------------------------------
// Whether an object's reference count tells exactly how many references
// there are (not on a build that keeps them apart per thread): code that
// reuses or changes an object nothing else references relies on it.
#ifndef Py_GIL_DISABLED
inline constexpr bool kRefCountsExact = true;
#else
inline constexpr bool kRefCountsExact = false;
#endif

// ---- dictionaries -------------------------------------------------------
// The interpreter's version word of a dictionary (CPython 3.13: bits 0-7 its
// watchers, 8-11 a mutation counter, the rest a version); 0 where there is
// none that can be read.
inline uint64_t dict_version_word(PyObject *d) {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return ((PyDictObject *) d)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void) d;
    return 0;
#endif
}
// The tag of a dictionary's entries (the version, without the bits its
// watchers use): every entry added, replaced or removed gives the dictionary
// a new one, and tags are never reused, so two reads that give the same tag
// (not 0) of one live dictionary saw the same keys and values, in the same
// order.  0 where the interpreter keeps no such tag.
inline uint64_t dict_entries_tag(PyObject *d) { return dict_version_word(d) >> 12; }
// PyDict_Watch(watcher, d), with no call when `d` is watched by it already
// (its bit of the version word).
inline int watch_dict(int watcher, PyObject *d) {
    if (PyDict_CheckExact(d) && watcher >= 0 && watcher < 8 && (dict_version_word(d) >> watcher) & 1)
        return 0;
    return PyDict_Watch(watcher, d);
}

// The home of an object's address in a table of 2^bits places (bits 1 to
// 32): the records kept by object address (dictionaries, snapshots) spread
// over their tables, whatever the allocator's spacing.
inline unsigned address_home(const void *p, int bits) {
    return (unsigned) ((((uintptr_t) p >> 4) * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

// A table of N records (a power of two) kept by object address, where a
// key's record is one of the kWindow places from its home: lookups touch a
// few places whatever the number of keys in use.  `key_of(entry)` is the
// entry's key (nullptr: empty); a key has at most one entry.
template <int N, int Window = 4>
struct AddressWindow {
    static_assert(N >= 2 && (N & (N - 1)) == 0, "N must be a power of two");
    static constexpr int kWindow = Window < N ? Window : N;
    static unsigned home(const void *key) { return address_home(key, __builtin_ctz(N)); }
    // The entry of `key`, or nullptr.
    template <class E, class KeyOf>
    static E *find(E *table, const void *key, KeyOf key_of) {
        unsigned h = home(key);
        for (int i = 0; i < kWindow; ++i)
            if (E *e = &table[(h + i) & (N - 1)]; key_of(*e) == key)
                return e;
        return nullptr;
    }
    // Where a record of `key` goes: its entry, else the first empty one, else
    // one of the window in turn (`turn` counts the turns).
    template <class E, class KeyOf>
    static E *place(E *table, const void *key, unsigned &turn, KeyOf key_of) {
        unsigned h = home(key);
        E *empty = nullptr;
        for (int i = 0; i < kWindow; ++i) {
            E *e = &table[(h + i) & (N - 1)];
            if (key_of(*e) == key)
                return e;
            if (!key_of(*e) && !empty)
                empty = e;
        }
        return empty ? empty : &table[(h + turn++ % kWindow) & (N - 1)];
    }
};

// ---- errors -------------------------------------------------------------
// Raise (as a C++ exception carrying the Python error) a TypeError with the
// shared argument-type text.
[[noreturn]] void raise_arg_type(const char *name, const char *expected, nb::handle got);
// Set a Python exception of the given type and throw it through nanobind.
[[noreturn]] void raise(PyObject *type, const std::string &msg);
// The same with a message that is Python text (kept as it is, surrogate
// escapes included).
[[noreturn]] void raise_text(PyObject *type, nb::handle msg);
// Throw the pending Python error (after a failed C-API call).
[[noreturn]] void raise_pending();

// The new reference a C-API call returned, or the error it left pending
// raised as a C++ exception (the one way every module takes a result).
nb::object steal_or_raise(PyObject *o);

// Name of the value's type as the argument messages write it.
const char *tp_name_of(nb::handle v);

// ---- argument rules -----------------------------------------------------
nb::object arg_int(nb::handle v, const char *name);
// Same rule, then converted to a C++ integer (OverflowError when it does not fit).
long long arg_int_ll(nb::handle v, const char *name);
double arg_float(nb::handle v);
nb::object arg_float_or_none(nb::handle v, const char *name);
nb::list arg_list(nb::handle v, const char *name);
nb::dict arg_dict(nb::handle v, const char *name);
nb::str arg_str(nb::handle v, const char *name);
nb::object arg_str_or_none(nb::handle v, const char *name);
bool truth(nb::handle v);

// Result coercion: None and an exact int unchanged, any other number through
// int(), anything else TypeError "Expected int, got {type}".
nb::object coerce_int_result(nb::handle v);

// True when the object offers the numeric protocol for integer conversion.
bool is_number(nb::handle v);

// ---- imports ------------------------------------------------------------
// `from <module> import <names...>` as the interpreter runs it: the module
// through builtins.__import__ (with the names as its fromlist), then each name
// as an attribute, or else a submodule that is already in sys.modules; a name
// the module lacks is the ImportError "cannot import name ...".  `globals` is
// the importing module's namespace.
std::vector<nb::object> import_from(nb::handle globals, const char *module, const std::vector<const char *> &names);

struct FromImport {
    const char *module;
    std::vector<const char *> names;
};
// The sibling-import step of a module: `from <module> import <names>` for each
// entry with the modules taken as top-level modules, the names bound in `m`;
// if any of them raises ImportError (a missing module or a missing name), all
// of them again from "vkl_api.<module>", with the first error as the handled
// exception, as in an `except ImportError:` block.  Any other error, and any
// error of the second attempt, propagates unchanged.
void import_siblings(nb::module_ &m, std::initializer_list<FromImport> imports);

// ---- warnings and logging -------------------------------------------------
// Issue a warning attributed to the Python line that called into C++ (the
// equivalent of stacklevel=2 in a Python method).
void warn_caller(PyObject *category, const std::string &msg);
// logger.<level>(msg) with one string argument.
void log(nb::handle logger, const char *level, const std::string &msg);

// ---- attribute and number helpers ------------------------------------------
// getattr(obj, name, dflt) where only AttributeError means absent.
nb::object attr_or(nb::handle obj, const char *name, nb::handle dflt);
inline nb::object attr_or_none(nb::handle obj, const char *name) { return attr_or(obj, name, nb::none()); }
// hasattr(obj, name) where only AttributeError means absent.
bool has_attr(nb::handle obj, const char *name);
// Borrowed item of a dictionary, nullptr when absent or on a null argument
// (lookup errors cleared).
PyObject *dict_get(PyObject *d, PyObject *key);
// Whether `d[name]` is `expected`, answered from `seen` (the entries tag of
// `d` when it last was; 0: unknown) while `d` keeps that tag: a namespace read
// on every call for a function that is nearly always the one it was.
inline bool entry_is(PyObject *d, PyObject *name, PyObject *expected, uint64_t &seen) {
    uint64_t tag = PyDict_CheckExact(d) ? dict_entries_tag(d) : 0;
    if (tag && tag == seen)
        return true;
    bool is = expected && dict_get(d, name) == expected;
    seen = is ? tag : 0;
    return is;
}
// The object's instance dictionary (new reference), nullptr when it has none.
PyObject *instance_dict(PyObject *o);
inline PyObject *instance_dict(nb::handle o) { return instance_dict(o.ptr()); }
// a == b and `item in container` with the interpreter's rules (the one
// equality helper: a comparison that raises propagates).
bool eq(nb::handle a, nb::handle b);
bool contains(nb::handle container, nb::handle item);
// float(v) and int(v) with the interpreter's conversions.
nb::object to_float(nb::handle v);
nb::object to_int(nb::handle v);

// ---- names and text -----------------------------------------------------------
// An interned str for an attribute or keyword name; raises when the
// interpreter cannot make one.  Each module keeps its interned names in one
// table of its state, built once at import.
nb::str intern_name(const char *s);

// One row of such a table: the state's field and the name's text.
template <typename State>
struct NameRow {
    nb::object State::*field;
    const char *text;
};
// Fill every field a table names.
template <typename State, size_t N>
void intern_names(State &state, const NameRow<State> (&rows)[N]) {
    for (const NameRow<State> &row : rows)
        state.*row.field = intern_name(row.text);
}

// A name of a module's namespace as a function of that module reads it at
// call time: the namespace dictionary, then the builtins; an absent name is
// the NameError "name 'x' is not defined" that the interpreter raises.
nb::object module_global(nb::handle globals, const char *name);
nb::object module_global(nb::handle globals, nb::handle name);

// Python's format(value, spec) (spec "" is str() for most values, as in an
// f-string).  The result stays Python text, so any character survives.
nb::str format_text(nb::handle value, const char *spec = "");
// The pieces joined into one text, each piece that is not an exact str
// formatted as an f-string formats it (f"{a}{b}..."); kept as Python text so
// that a port or file name with surrogate escapes survives as is.
nb::str concat_text(std::initializer_list<nb::handle> parts);
// The same as UTF-8, for messages assembled in C++; a text that UTF-8 cannot
// carry (a lone surrogate) raises UnicodeEncodeError.
std::string py_format(nb::handle value, const char *spec);
// str(value) as UTF-8, under the same rule.
std::string py_str(nb::handle value);

// ---- functions and class building -------------------------------------------
nb::object builtins();

// Argument annotation that accepts any object, None included (the argument
// rules above decide what is acceptable).
inline auto arg(const char *name) { return nb::arg(name).none(); }

template <typename... Extra>
constexpr bool has_args_v = (nb::detail::arg_traits<Extra>::is_arg || ... || false);

// Wrap a nanobind function in a Python-function-like callable: exact __doc__,
// __name__, __qualname__ and __module__, and binding through the descriptor
// protocol to an ordinary bound method (so `a.f == a.f`, `a.f.__self__`).
nb::object wrap_function(nb::handle func, const char *name, const std::string &qualname,
                         nb::handle module_name, const char *doc);

// ---- a method's own entry for its usual calls ----
// A wrapped function may read the calls it gets most itself, ahead of
// nanobind's general dispatch (which matches keywords by name and builds the
// call's defaults on every call).  Its FastCall gets the pointer of `owner`, a
// capsule the function holds (what the entry needs, alive as long), and the
// call as the interpreter passes it, and returns the result, nullptr with an
// exception set, or kDeclined, having done nothing: the call then goes to the
// nanobind function, so every other call, its argument errors and their texts
// included, is served as before.
using FastCall = PyObject *(*)(void *data, PyObject *const *args, size_t nargsf, PyObject *kwnames);
extern PyObject *const kDeclined;
void set_fast_call(nb::handle wrapped, FastCall call, nb::object owner);

// A call's arguments, `self` first, into out[0..n): by position, then by
// keyword (names[i]: the interned name of parameter i, compared by identity);
// those not given are nullptr.  False, to decline the call, when there are
// more than n, or a keyword is not one of the names (by identity) or names a
// parameter given already.  (Inline: with n known where it is called, the
// usual all-positional call is a few moves.)
inline bool take_call_args(PyObject *const *args, size_t nargsf, PyObject *kwnames, PyObject *const *names, int n,
                           PyObject **out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > n)
        return false;
    for (int i = 0; i < n; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    if (!kwnames)
        return true;
    for (Py_ssize_t k = 0, nkw = PyTuple_GET_SIZE(kwnames); k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        int i = 0;
        while (i < n && names[i] != key)
            ++i;
        if (i == n || out[i])
            return false;
        out[i] = args[nargs + k];
    }
    return true;
}

// The interned parameter names an entry matches, `self` first, in the order
// take_call_args reads them.
template <int N>
struct CallNames {
    PyObject *names[N] = {}; // held below
    nb::object held[N];
    int n = 0;
    CallNames &add(const char *name) {
        held[n] = intern_name(name);
        names[n] = held[n].ptr();
        ++n;
        return *this;
    }
};

// What an entry needs, in a capsule that deletes it: the owner set_fast_call
// takes.
template <class T>
nb::object owning_capsule(std::unique_ptr<T> data) {
    PyObject *cap = PyCapsule_New(data.get(), nullptr,
                                  [](PyObject *c) { delete static_cast<T *>(PyCapsule_GetPointer(c, nullptr)); });
    if (!cap)
        raise_pending();
    data.release();
    return nb::steal(cap);
}

// Set the Python error for the C++ exception being handled, as nanobind's
// dispatch sets it for a bound function (our modules add no translators).
void set_error_from_exception() noexcept;

// Give a wrapped function the signature of a Python definition, for example
// "(self, address: int = 0, logger: Optional[logging.Logger] = None) -> None":
// inspect.signature() then reports it and __annotations__ holds the annotations
// as strings (they are not evaluated); defaults are evaluated once, here, with
// the builtins only.
void set_signature(nb::handle fn, const char *text);
// The same, with the defaults evaluated with the builtins and `names` (a dict
// such as {"nan": <the module's nan>}), so that a default is the very object
// the call uses.
void set_signature(nb::handle fn, const char *text, nb::handle names);

// A module-level function with an exact docstring.
template <typename F, typename... Extra>
nb::object make_function(nb::handle module, const char *name, F &&f, const char *doc, const Extra &...extra) {
    nb::object fn = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
    nb::object w = wrap_function(fn, name, name, module.attr("__name__"), doc);
    nb::setattr(module, name, w);
    return w;
}

// Assembles a Python class with `type(name, bases, namespace)`.  Members are
// added in definition order; methods receive `self` as their first argument
// and may name their other arguments with vkl::arg.  `doc(text)` sets the
// docstring of the member defined last.
class ClassBuilder {
public:
    ClassBuilder(const char *name, nb::handle module_name, const char *qualname = nullptr,
                 const char *doc = nullptr);

    template <typename F, typename... Extra>
    ClassBuilder &def(const char *name, F &&f, const Extra &...extra) {
        nb::object fn;
        if constexpr (has_args_v<Extra...>)
            fn = nb::cpp_function(std::forward<F>(f), nb::name(name), nb::arg("self"), extra...);
        else
            fn = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
        return add(name, wrap(fn, name), Kind::Method);
    }
    template <typename F, typename... Extra>
    ClassBuilder &def_static(const char *name, F &&f, const Extra &...extra) {
        nb::object fn = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
        return add(name, wrap(fn, name), Kind::Static);
    }
    template <typename F, typename... Extra>
    ClassBuilder &def_classmethod(const char *name, F &&f, const Extra &...extra) {
        nb::object fn;
        if constexpr (has_args_v<Extra...>)
            fn = nb::cpp_function(std::forward<F>(f), nb::name(name), nb::arg("cls"), extra...);
        else
            fn = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
        return add(name, wrap(fn, name), Kind::Class);
    }
    // Read-only property; `getter(self)`.
    template <typename F>
    ClassBuilder &def_property_readonly(const char *name, F &&getter) {
        nb::object fget = wrap(nb::cpp_function(std::forward<F>(getter), nb::name(name)), name);
        return add(name, fget, Kind::Property);
    }
    // Read-write property; `getter(self)`, `setter(self, value)`.  The setter
    // accepts any value, None included: it applies the argument rules itself.
    template <typename G, typename S>
    ClassBuilder &def_property(const char *name, G &&getter, S &&setter) {
        nb::object fget = wrap(nb::cpp_function(std::forward<G>(getter), nb::name(name), nb::arg("self")), name);
        nb::object fset =
            wrap(nb::cpp_function(std::forward<S>(setter), nb::name(name), nb::arg("self"), arg("value")), name);
        return add(name, fget, Kind::Property, fset);
    }
    ClassBuilder &attr(const char *name, nb::handle value) {
        ns_[name] = value;
        last_ = nullptr;
        return *this;
    }
    ClassBuilder &doc(const char *text);
    // The member defined last (a method) reads its usual calls itself (see
    // set_fast_call).
    ClassBuilder &fast_call(FastCall call, nb::object owner);
    // Signature (see set_signature) of the member defined last; for a property,
    // of its getter.  This is how every built class attaches its signatures:
    // beside the member, with its docstring.
    ClassBuilder &signature(const char *text);
    // Names the defaults of later signatures may use besides the builtins.
    ClassBuilder &signature_names(nb::dict names) {
        signature_names_ = std::move(names);
        return *this;
    }

    nb::dict &ns() { return ns_; }
    const std::string &qualname() const { return qualname_; }
    nb::handle module_name() const { return module_name_; }

    // Create the class; default base is `object`.
    nb::object finish(nb::handle bases = nb::handle());

private:
    enum class Kind { Method, Static, Class, Property };
    nb::object wrap(nb::handle fn, const char *name);
    ClassBuilder &add(const char *name, nb::object fn, Kind kind, nb::object fset = nb::object());

    std::string name_;
    std::string qualname_;
    nb::object module_name_;
    nb::dict ns_;
    const char *last_ = nullptr;
    nb::object last_fn_;
    Kind last_kind_ = Kind::Method;
    nb::object last_fset_;
    nb::dict signature_names_;
};

// A plain enum.Enum subclass built with the functional API, with the given
// module, qualified name and docstring; members in the order given.
nb::object make_enum(const char *name, nb::handle module_name, const std::string &qualname,
                     const char *doc, std::initializer_list<std::pair<const char *, long long>> members);

// Leak reports of nanobind at interpreter exit are noise for objects that the
// interpreter itself keeps until the end (classes built from C++ callables).
void module_init_common();

// ---- module entry ------------------------------------------------------------
// Runs a module body; a Python error it raises is left set as it was raised.
int run_module_body(PyObject *m, void (*body)(nb::module_));

} // namespace vkl

// VKL_MODULE(name, m) { ... } in place of NB_MODULE(name, m): the same module
// definition and nanobind set-up, but an exception raised in the body reaches
// the importer unchanged (its type, text and traceback) where NB_MODULE would
// replace it by an ImportError; an `except ImportError` around an import of
// the module must not catch, say, a RuntimeError of one of its dependencies.
// The set-up calls are those of NB_MODULE of the nanobind release below.
#if NB_VERSION_MAJOR != 3 || NB_VERSION_MINOR < 1
#error "VKL_MODULE repeats the module set-up of nanobind 3.1; check NB_MODULE of this release"
#endif
#define VKL_MODULE(name, variable) VKL_MODULE_IMPL(name, variable)
#define VKL_MODULE_IMPL(name, variable)                                                                    \
    static void vkl_module_body_##name(::nanobind::module_);                                               \
    static int vkl_module_exec_##name(PyObject *m) {                                                       \
        ::nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);                         \
        if (!::nanobind::detail::internals)                                                                \
            return -1;                                                                                     \
        return ::vkl::run_module_body(m, vkl_module_body_##name);                                          \
    }                                                                                                      \
    static PyObject *vkl_module_def_##name = nullptr;                                                      \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);                                   \
    extern "C" PyObject *PyInit_##name(void) {                                                             \
        ::nanobind::detail::init_singletons();                                                             \
        if (!::nanobind::detail::nb_backend_init(#name))                                                   \
            return nullptr;                                                                                \
        if (!vkl_module_def_##name)                                                                        \
            vkl_module_def_##name =                                                                        \
                NB_CALL(module_new)(#name, nullptr, (void *) vkl_module_exec_##name, NB_ABI_MINOR_TAG);    \
        return vkl_module_def_##name;                                                                      \
    }                                                                                                      \
    void vkl_module_body_##name(::nanobind::module_ variable)
