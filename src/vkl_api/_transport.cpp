// Transport base class: logger, per-address receive callbacks and their lock.
#include "core/pyutil.hpp"

#include <memory>

namespace nb = nanobind;
using namespace vkl;

namespace {

// Module state: the namespace the methods read at call time.
struct State {
    nb::dict g;
};
using StateP = std::shared_ptr<State>;

// ---- VklTransport -----------------------------------------------------------------
void init(State &S, nb::handle self, nb::handle logger) {
    nb::object lg = logger.is_none() ? module_global(S.g, "logger") : nb::borrow(logger);
    nb::setattr(self, "logger", lg);
    nb::setattr(self, "callbacks", nb::dict());
    // Re-entrant: a receive callback runs with the lock held and may call
    // back into the transport on the same thread.
    nb::setattr(self, "lock", nb::module_::import_("threading").attr("RLock")());
}

void set_callback(nb::handle self, nb::handle address, nb::handle callback) {
    nb::object callbacks = nb::getattr(self, "callbacks");
    if (PyObject_SetItem(callbacks.ptr(), address.ptr(), callback.ptr()) < 0)
        raise_pending();
}

void remove_callback(nb::handle self, nb::handle address) {
    nb::object callbacks = nb::getattr(self, "callbacks");
    if (PyDict_Check(callbacks.ptr())) {
        steal_or_raise(PyObject_CallMethod(callbacks.ptr(), "pop", "OO", address.ptr(), Py_None));
    } else if (PySequence_Contains(callbacks.ptr(), address.ptr()) == 1) {
        if (PyObject_DelItem(callbacks.ptr(), address.ptr()) < 0)
            raise_pending();
    }
}

void close(nb::handle self) {
    // End the link through the subclass's own disconnect, then make sure
    // its port is closed.  Both steps are harmless when repeated.
    nb::object disconnect = nb::getattr(self, "disconnect", nb::none());
    if (!disconnect.is_none())
        disconnect();
    nb::object ser = nb::getattr(self, "_ser", nb::none());
    if (!ser.is_none())
        ser.attr("close")();
}

// ---- bindings -------------------------------------------------------------------------
void bind_namespace(nb::module_ &m) {
    nb::object logging = nb::module_::import_("logging");
    nb::object threading = nb::module_::import_("threading");
    m.attr("logging") = logging;
    m.attr("threading") = threading;
    m.attr("logger") = logging.attr("getLogger")(m.attr("__name__"));
}

void bind_transport(nb::module_ &m, const StateP &s) {
    ClassBuilder cls("VklTransport", m.attr("__name__"), nullptr,
                     "Base of every VKL transport: a logger, the receive callbacks keyed by address, "
                     "and the re-entrant lock held while a callback runs.");
    cls.def("__init__", [s](nb::handle self, nb::handle logger) { init(*s, self, logger); },
            arg("logger") = nb::none());
    cls.def("set_callback", &set_callback, arg("address"), arg("callback"))
        .doc("Register the receive callback for an address.");
    cls.def("remove_callback", &remove_callback, arg("address"))
        .doc("Remove the receive callback of an address; an absent address is ignored.");
    cls.def("close", &close).doc("Release the link and its serial port; a second call is harmless.");
    m.attr("VklTransport") = cls.finish();
    m.attr("__all__") = nb::make_tuple("VklTransport");
}

} // namespace

VKL_MODULE(_transport, m) {
    module_init_common();
    m.doc() = "Transport base class shared by every VKL link.";
    auto s = std::make_shared<State>();
    s->g = nb::borrow<nb::dict>(m.attr("__dict__"));
    bind_namespace(m);
    bind_transport(m, s);
}
