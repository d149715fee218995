"""Run mypy's stubtest on the package, with nanobind's objects known for what they are.

stubtest recognises functions by their Python types; a nanobind function object
(a module function, or a static method of a natively laid-out class) is none of
them and carries its signature only in its own record.  Here stubtest is told
both, so those functions are checked like any other instead of being reported as
"not a function"; a nanobind function in a class body does not bind (a static
method).  nanobind's class type has no stubs and nothing of it is called by
users, so the stubs name no metaclass for natively laid-out classes.

    python tools/run_stubtest.py [stubtest arguments]     (default: vkl_api)
"""

from __future__ import annotations

import inspect
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import mypy.stubtest as stubtest  # noqa: E402

from gen_stubs import nanobind_signature  # noqa: E402


def _nanobind_type(obj):
    return type(obj).__module__ == "nanobind" and hasattr(obj, "__nb_signature__")


_is_function = stubtest.is_probably_a_function
_signature = stubtest.safe_inspect_signature


def is_probably_a_function(runtime):
    return _nanobind_type(runtime) or _is_function(runtime)


def safe_inspect_signature(runtime):
    if _nanobind_type(runtime):
        records = runtime.__nb_signature__
        if len(records) == 1:  # overloads: stubtest compares one signature
            text, _doc, defaults = records[0]
            method = type(runtime).__name__ == "nb_method"
            return nanobind_signature(text, defaults, method)
        return None
    return _signature(runtime)


_static_class_methods = stubtest._verify_static_class_methods
_metaclass = stubtest._verify_metaclass


def _verify_static_class_methods(stub, runtime, static_runtime, object_path):
    # Only where the stub declares a static method: module functions are nb_func too.
    if getattr(stub, "is_static", False) and _nanobind_type(static_runtime) and \
            type(static_runtime).__name__ == "nb_func":
        static_runtime = staticmethod(static_runtime)
    return _static_class_methods(stub, runtime, static_runtime, object_path)


def _verify_metaclass(stub, runtime, object_path, **kwargs):
    if type(runtime).__module__ == "nanobind":
        return iter(())
    return _metaclass(stub, runtime, object_path, **kwargs)


stubtest.is_probably_a_function = is_probably_a_function
stubtest.safe_inspect_signature = safe_inspect_signature
stubtest._verify_static_class_methods = _verify_static_class_methods
stubtest._verify_metaclass = _verify_metaclass

if __name__ == "__main__":
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    args = sys.argv[1:] or ["--mypy-config-file", os.path.join(root, "pyproject.toml"), "vkl_api"]
    sys.argv[1:] = args
    sys.exit(stubtest.main())
