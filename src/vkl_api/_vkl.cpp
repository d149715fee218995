// Protocol layer between the transport base class and the serial transport:
// the frame constants as class attributes, and typed fronts to the protocol's
// address check, payload check and CAN identifier builder.
#include "core/pyutil.hpp"

#include <memory>

namespace nb = nanobind;
using namespace vkl;

namespace {

// Module state: the namespace (the protocol functions are looked up in it at
// call time) and the class, for super() in __init__.
struct State {
    nb::dict g;
    nb::object vkl_class;
};
using StateP = std::shared_ptr<State>;

// ---- VKL ----------------------------------------------------------------------------
void init(State &S, nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object sup = builtins().attr("super")(S.vkl_class, self);
    nb::object init = sup.attr("__init__");
    steal_or_raise(PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr()));
    nb::setattr(self, "adapter_address", nb::int_(1));
}

nb::object check_vkl_id_range(State &S, nb::handle can_id) {
    nb::object a = arg_int(can_id, "can_id");
    return module_global(S.g, "is_valid_vkl_address")(a);
}

nb::object check_vkl_payload_size(State &S, nb::handle payload) {
    return module_global(S.g, "is_valid_vkl_payload")(payload);
}

nb::object build_vlk_identifier(State &S, nb::handle source, nb::handle destination) {
    nb::object s = arg_int(source, "source");
    nb::object d = arg_int(destination, "destination");
    return coerce_int_result(module_global(S.g, "build_vlk_identifier")(s, d));
}

// ---- bindings -------------------------------------------------------------------------
void bind_namespace(nb::module_ &m) {
    nb::module_ logging = nb::module_::import_("logging");
    m.attr("logging") = logging;
    import_siblings(m, {{"_transport", {"VklTransport"}},
                        {"_protocol",
                         {"VKL_USB_MSG_START_BYTE", "VKL_USB_MSG_HEADER_LENGTH", "VKL_USB_MAX_PAYLOAD_SIZE",
                          "VKL_USB_CRC_MAGIC_NUMBER", "build_vlk_identifier", "is_valid_vkl_address",
                          "is_valid_vkl_payload"}}});
    m.attr("logger") = logging.attr("getLogger")(m.attr("__name__"));
}

void bind_vkl(nb::module_ &m, const StateP &s) {
    const nb::dict &g = s->g;
    ClassBuilder cls("VKL", m.attr("__name__"));
    cls.attr("_MSG_START_BYTE", module_global(g, "VKL_USB_MSG_START_BYTE"));
    cls.attr("_MSG_HEADER_LENGTH", module_global(g, "VKL_USB_MSG_HEADER_LENGTH"));
    cls.attr("_MAX_PAYLOAD_SIZE", module_global(g, "VKL_USB_MAX_PAYLOAD_SIZE"));
    cls.attr("_CRC_MAGIC_NUMBER", module_global(g, "VKL_USB_CRC_MAGIC_NUMBER"));

    cls.def("__init__", [s](nb::handle self, nb::args args, nb::kwargs kwargs) { init(*s, self, args, kwargs); });
    cls.def_static("check_vkl_id_range", [s](nb::handle can_id) { return check_vkl_id_range(*s, can_id); },
                   arg("can_id"))
        .doc("Check if the address fits the 14-bit VKL address field.");
    cls.def_static("check_vkl_payload_size",
                   [s](nb::handle payload) { return check_vkl_payload_size(*s, payload); }, arg("payload"));
    cls.def_static("_build_VLK_identifier",
                   [s](nb::handle source, nb::handle destination) {
                       return build_vlk_identifier(*s, source, destination);
                   },
                   arg("source"), arg("destination"));

    // The class lives until exit (the interpreter keeps classes built here);
    // the state holds it for super().
    s->vkl_class = cls.finish(nb::make_tuple(module_global(g, "VklTransport")));
    m.attr("VKL") = s->vkl_class;
}

} // namespace

VKL_MODULE(_vkl, m) {
    module_init_common();
    auto s = std::make_shared<State>();
    s->g = nb::borrow<nb::dict>(m.attr("__dict__"));
    bind_namespace(m);
    bind_vkl(m, s);
}
