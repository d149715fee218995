// Protocol layer between the transport base class and the serial transport:
// the frame constants as class attributes, and typed fronts to the protocol's
// address check, payload check and CAN identifier builder.
#include "core/pyutil.hpp"

namespace nb = nanobind;
using namespace vkl;

namespace {
// The class object, for super() in __init__ (classes built here live until exit).
PyObject *g_vkl_class = nullptr;
} // namespace

VKL_MODULE(_vkl, m) {
    module_init_common();
    nb::object module_name = m.attr("__name__");
    nb::module_ logging = nb::module_::import_("logging");
    m.attr("logging") = logging;

    import_siblings(m, {{"_transport", {"VklTransport"}},
                        {"_protocol",
                         {"VKL_USB_MSG_START_BYTE", "VKL_USB_MSG_HEADER_LENGTH", "VKL_USB_MAX_PAYLOAD_SIZE",
                          "VKL_USB_CRC_MAGIC_NUMBER", "build_vlk_identifier", "is_valid_vkl_address",
                          "is_valid_vkl_payload"}}});
    m.attr("logger") = logging.attr("getLogger")(module_name);

    // The protocol functions are looked up in the module namespace at call time.
    nb::dict g = nb::borrow<nb::dict>(m.attr("__dict__"));

    ClassBuilder cls("VKL", module_name);
    cls.attr("_MSG_START_BYTE", g["VKL_USB_MSG_START_BYTE"]);
    cls.attr("_MSG_HEADER_LENGTH", g["VKL_USB_MSG_HEADER_LENGTH"]);
    cls.attr("_MAX_PAYLOAD_SIZE", g["VKL_USB_MAX_PAYLOAD_SIZE"]);
    cls.attr("_CRC_MAGIC_NUMBER", g["VKL_USB_CRC_MAGIC_NUMBER"]);

    cls.def("__init__", [](nb::handle self, nb::args args, nb::kwargs kwargs) {
        nb::object sup = builtins().attr("super")(nb::handle(g_vkl_class), self);
        nb::object init = sup.attr("__init__");
        PyObject *r = PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr());
        if (!r)
            raise_pending();
        Py_DECREF(r);
        nb::setattr(self, "adapter_address", nb::int_(1));
    });
    cls.def_static(
        "check_vkl_id_range",
        [g](nb::handle can_id) -> nb::object {
            nb::object a = arg_int(can_id, "can_id");
            return nb::borrow(g["is_valid_vkl_address"])(a);
        },
        arg("can_id"))
        .doc("Check if the address fits the 14-bit VKL address field.");
    cls.def_static(
        "check_vkl_payload_size",
        [g](nb::handle payload) -> nb::object { return nb::borrow(g["is_valid_vkl_payload"])(payload); },
        arg("payload"));
    cls.def_static(
        "_build_VLK_identifier",
        [g](nb::handle source, nb::handle destination) -> nb::object {
            nb::object s = arg_int(source, "source");
            nb::object d = arg_int(destination, "destination");
            return coerce_int_result(nb::borrow(g["build_vlk_identifier"])(s, d));
        },
        arg("source"), arg("destination"));

    nb::object VKL = cls.finish(nb::make_tuple(g["VklTransport"]));
    g_vkl_class = VKL.inc_ref().ptr();
    m.attr("VKL") = VKL;
}
