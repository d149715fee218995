// Command-line tool: list an actuator's parameters, blink it, set its home
// position, or scan a CAN bus for the addresses that answer.
//
// Every name the commands use (the transport and actuator classes, the command
// functions, `print`) is looked up in the module's namespace when the command
// runs, the way a Python module resolves its globals, so replacing one of them
// on the module takes effect at once.
#include "core/pyutil.hpp"

#include <initializer_list>
#include <memory>

namespace nb = nanobind;
using namespace vkl;

namespace {

// Module state: the namespace the commands read at call time, and the module's
// name (argparse names the converters after it).
struct State {
    nb::dict g;
    nb::object module_name;
};
using StateP = std::shared_ptr<State>;

void say(const nb::dict &g, nb::handle line) { module_global(g, "print")(line); }

// "0x{address:X} ({address})"
nb::str hex_and_decimal(nb::handle address) {
    return concat_text({nb::str("0x"), format_text(address, "X"), nb::str(" ("), format_text(address), nb::str(")")});
}

// Connection text of params and home: the device on the port itself for
// address 0, an actuator behind the CAN adapter otherwise.
nb::str usb_or_can_msg(nb::handle args) {
    nb::object address = nb::getattr(args, "address");
    if (eq(address, nb::int_(0)))
        return concat_text({nb::str("USB at port '"), format_text(nb::getattr(args, "port")), nb::str("'")});
    return concat_text({nb::str("CAN at address "), hex_and_decimal(address)});
}

// Port discovery when no port was given; params and home also default the
// address to 0, the device on the port itself.
void resolve_port(const nb::dict &g, nb::handle args) {
    if (nb::getattr(args, "port").is_none())
        nb::setattr(args, "port", module_global(g, "VklOverUsb").attr("get_port")());
}

void resolve_port_and_address(const nb::dict &g, nb::handle args) {
    resolve_port(g, args);
    if (nb::getattr(args, "address").is_none())
        nb::setattr(args, "address", nb::int_(0));
}

// Open the transport and the actuator and ping it; on an unanswered ping
// report it, close the transport and return false.
struct Session {
    nb::object adapter, actuator;
};

bool open_session(const nb::dict &g, nb::handle args, nb::handle connection_msg, Session &s) {
    s.adapter = module_global(g, "VklOverUsb")(nb::getattr(args, "port"));
    s.actuator = module_global(g, "KavrelActuatorReal")(s.adapter, nb::getattr(args, "address"));
    if (!truth(s.actuator.attr("connect")())) {
        say(g, concat_text({nb::str("Could not connect by "), connection_msg}));
        s.adapter.attr("close")();
        return false;
    }
    return true;
}

void command_params(const nb::dict &g, nb::handle args) {
    resolve_port_and_address(g, args);
    nb::str connection_msg = usb_or_can_msg(args);
    Session s;
    if (!open_session(g, args, connection_msg, s))
        return;
    nb::object params = s.actuator.attr("get_parameters_all")();
    // Released before anything is printed: no STOP is sent, the link is just let go.
    s.adapter.attr("close")();
    if (!truth(params))
        return;
    nb::dict by_name;
    for (nb::handle item : params.attr("items")()) {
        nb::object key = item[0];
        by_name[nb::getattr(key, "name")] = item[1];
    }
    say(g, concat_text({nb::str("Parameters for actuator connected by "), connection_msg}));
    for (auto [name, value] : by_name)
        say(g, concat_text({format_text(name), nb::str(": "), format_text(value)}));
}

void command_blink(const nb::dict &g, nb::handle args) {
    // Discovery first, even when the address then turns out to be missing.
    resolve_port(g, args);
    nb::object address = nb::getattr(args, "address");
    if (address.is_none() || eq(address, nb::int_(0))) {
        say(g, nb::str("Address is required for blink command."));
        return;
    }
    nb::str connection_msg = concat_text({nb::str("Connecting to device at address "), hex_and_decimal(address)});
    Session s;
    if (!open_session(g, args, connection_msg, s))
        return;
    s.actuator.attr("blink")();
    s.adapter.attr("close")();
}

void command_home(const nb::dict &g, nb::handle args) {
    resolve_port_and_address(g, args);
    nb::str connection_msg = usb_or_can_msg(args);
    Session s;
    if (!open_session(g, args, connection_msg, s))
        return;
    s.actuator.attr("set_home_position")();
    say(g, concat_text({nb::str("Home position set for actuator connected by "), connection_msg}));
    s.adapter.attr("close")();
}

// The scanning step of one adapter; the adapter is closed however it ends, and
// an exception passes on after the close (a failing close then takes its place,
// carrying the first one as its context, as a `finally` clause would).
void scan_adapter(const nb::dict &g, nb::handle args, nb::handle adapter, nb::handle scanner) {
    try {
        nb::object begin = nb::getattr(args, "begin");
        nb::object end = nb::getattr(args, "end");
        say(g, concat_text({nb::str("Scanning addresses from 0x"), format_text(begin, "X"), nb::str(" to 0x"), format_text(end, "X"),
                    nb::str(" ... (CTRL+C to cancel)")}));
        nb::object addresses = scanner.attr("scan")(nb::arg("begin") = begin, nb::arg("end") = end);
        Py_ssize_t n = PyObject_Length(addresses.ptr());
        if (n < 0)
            raise_pending();
        say(g, concat_text({nb::str("Found "), format_text(nb::int_(n)), nb::str(" addresses: "), format_text(addresses)}));
    } catch (nb::python_error &e) {
        try {
            adapter.attr("close")();
        } catch (nb::python_error &later) {
            // SetContext steals the reference it is given.
            PyException_SetContext(later.value().ptr(), Py_NewRef(e.value().ptr()));
            throw;
        }
        throw;
    } catch (...) {
        adapter.attr("close")();
        throw;
    }
    adapter.attr("close")();
}

void command_scan(const nb::dict &g, nb::handle args) {
    nb::object port = nb::getattr(args, "port");
    nb::object ports;
    if (port.is_none()) {
        ports = module_global(g, "VklOverUsb").attr("get_ports")();
    } else {
        nb::list one;
        one.append(port);
        ports = one;
    }
    if (!truth(ports)) {
        say(g, nb::str("No devices found."));
        return;
    }
    for (nb::handle p : ports) {
        say(g, concat_text({nb::str("Connecting to device on port "), format_text(p), nb::str(" ...")}));
        nb::object adapter = module_global(g, "VklOverUsb")(p);
        if (!truth(nb::getattr(adapter, "is_connected"))) {
            adapter.attr("close")();
            continue;
        }
        nb::object scanner = module_global(g, "KavrelActuatorScannerReal")(adapter);
        if (!truth(nb::getattr(scanner, "is_connected"))) {
            // A directly attached device: the scanner has closed the adapter
            // already, and a second close is harmless.
            adapter.attr("close")();
            continue;
        }
        scan_adapter(g, args, adapter, scanner);
    }
}

// Integer option values: decimal, or 0x / 0o / 0b prefixed, as int(text, 0).
nb::object int_base0(nb::handle text) {
    nb::object base = nb::int_(0);
    PyObject *r = PyObject_CallFunctionObjArgs((PyObject *) &PyLong_Type, text.ptr(), base.ptr(), nullptr);
    if (!r)
        raise_pending();
    return nb::steal(r);
}

void run_main(const nb::dict &g, nb::handle module_name) {
    // A fresh converter per option and per call; argparse names the converter
    // in its error message ("invalid <lambda> value: ...").
    auto converter = [&]() {
        nb::object fn = nb::cpp_function([](nb::handle text) { return int_base0(text); }, nb::name("<lambda>"),
                                         arg("x"));
        nb::object conv = wrap_function(fn, "<lambda>", "main.<locals>.<lambda>", module_name, nullptr);
        set_signature(conv, "(x)");
        return conv;
    };
    nb::object str_type = builtins().attr("str");
    const char *port_help = "CAN interface port (e.g., COM3, /dev/ttyACM0)";
    const char *can_address_help = "Target device address (e.g., 0x10) (only for CAN)";

    nb::object parser = module_global(g, "argparse").attr("ArgumentParser")(nb::arg("description") = "Kavrel Actuator CLI");
    parser.attr("add_argument")("-v", "--version", nb::arg("action") = "version",
                                nb::arg("version") = concat_text({nb::str("vkl_api "), format_text(module_global(g, "__version__"))}));
    nb::object subparsers = parser.attr("add_subparsers")(nb::arg("dest") = "command", nb::arg("required") = true);

    nb::object scan = subparsers.attr("add_parser")("scan", nb::arg("help") = "Scan the network for actuators");
    scan.attr("add_argument")("--begin", nb::arg("type") = converter(), nb::arg("default") = 0x10,
                              nb::arg("help") = "Start address (default: 0x10)");
    scan.attr("add_argument")("--end", nb::arg("type") = converter(), nb::arg("default") = 0xFF,
                              nb::arg("help") = "End address (default: 0xFF, can be up to 0x3FFE)");
    scan.attr("add_argument")("--port", "-p", nb::arg("type") = str_type, nb::arg("help") = port_help);

    nb::object params =
        subparsers.attr("add_parser")("params", nb::arg("help") = "Get all parameters from the actuator");
    params.attr("add_argument")("--port", "-p", nb::arg("type") = str_type, nb::arg("help") = port_help);
    params.attr("add_argument")("--address", "-a", nb::arg("type") = converter(),
                                nb::arg("help") = can_address_help);

    nb::object blink =
        subparsers.attr("add_parser")("blink", nb::arg("help") = "Blink the actuator LED (identify device)");
    blink.attr("add_argument")("--port", "-p", nb::arg("type") = str_type, nb::arg("help") = port_help);
    blink.attr("add_argument")("--address", "-a", nb::arg("type") = converter(), nb::arg("required") = true,
                               nb::arg("help") = "Target device address (e.g., 0x10)");

    nb::object home = subparsers.attr("add_parser")(
        "home", nb::arg("help") = "Sets the current position as the home position (zero reference)");
    home.attr("add_argument")("--port", "-p", nb::arg("type") = str_type, nb::arg("help") = port_help);
    home.attr("add_argument")("--address", "-a", nb::arg("type") = converter(), nb::arg("help") = can_address_help);

    nb::object args = parser.attr("parse_args")();

    for (const char *name : {"scan", "params", "blink", "home"}) {
        if (eq(nb::getattr(args, "command"), nb::str(name))) {
            std::string fn = std::string("command_") + name;
            module_global(g, fn.c_str())(args);
            return;
        }
    }
}

// ---- bindings -------------------------------------------------------------------------
void bind_namespace(nb::module_ &m) {
    nb::dict g = nb::borrow<nb::dict>(m.attr("__dict__"));
    m.attr("argparse") = nb::module_::import_("argparse");
    nb::module_ metadata = nb::module_::import_("importlib.metadata");
    m.attr("version") = metadata.attr("version");
    m.attr("PackageNotFoundError") = metadata.attr("PackageNotFoundError");
    // Absolute imports, no top-level fallback.
    std::vector<nb::object> real =
        import_from(g, "vkl_api.kavrel_actuator_real", {"KavrelActuatorReal", "KavrelActuatorScannerReal"});
    m.attr("KavrelActuatorReal") = real[0];
    m.attr("KavrelActuatorScannerReal") = real[1];
    m.attr("VklOverUsb") = import_from(g, "vkl_api.vkl_over_usb", {"VklOverUsb"})[0];

    // Version of the installed distribution; a tree that is not installed
    // (no metadata) reports "unknown".
    try {
        m.attr("__version__") = m.attr("version")("vkl_api");
    } catch (nb::python_error &e) {
        if (!e.matches(m.attr("PackageNotFoundError")))
            throw;
        m.attr("__version__") = "unknown";
    }
}

void bind_commands(nb::module_ &m, const StateP &s) {
    struct Entry {
        const char *name, *doc;
        void (*run)(const nb::dict &, nb::handle);
    };
    for (const Entry &e : {Entry{"command_params", "Print every parameter of one actuator.", command_params},
                           Entry{"command_blink", "Make one actuator blink its LED.", command_blink},
                           Entry{"command_home", "Make one actuator take its current position as home.", command_home},
                           Entry{"command_scan", "Scan the bus behind each CAN adapter for the addresses that answer.",
                                 command_scan}}) {
        auto run = e.run;
        nb::object fn = make_function(m, e.name, [s, run](nb::handle args) { run(s->g, args); }, e.doc, arg("args"));
        set_signature(fn, "(args) -> None");
    }
    nb::object main_fn = make_function(
        m, "main", [s]() { run_main(s->g, s->module_name); },
        "Parse the command line and run the selected command.");
    set_signature(main_fn, "() -> None");
}

} // namespace

VKL_MODULE(kavrel_cli, m) {
    module_init_common();
    m.doc() = "Command-line tool: list an actuator's parameters, blink it, set its home position, scan a bus.";
    auto s = std::make_shared<State>();
    s->g = nb::borrow<nb::dict>(m.attr("__dict__"));
    s->module_name = m.attr("__name__");
    bind_namespace(m);
    bind_commands(m, s);
    if (eq(m.attr("__name__"), nb::str("__main__")))
        m.attr("main")();
}
