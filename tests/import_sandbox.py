"""Fresh interpreters for import tests, with a say over what the import system finds.

An extension module initialises once per process, so every import case runs in a
new interpreter:

    run(code, blocked=(), broken=(), fail_init=(), top_level=False, paths=())

runs ``code`` after the PRELUDE below and returns its standard output (the child must
exit with status 0).  In the child:

- ``blocked``: modules that cannot be found (ModuleNotFoundError, as for a module that
  is not installed; a blocked package blocks its submodules too);
- ``broken``: modules whose lookup raises RuntimeError("broken <name>");
- ``tried``: the blocked and broken names that something asked for, in order;
- ``fail_init``: extension modules whose initialisation raises
  RuntimeError("injected into <name>") at the first attribute the module sets on itself;
- ``top_level``: the package's own modules are importable as top-level modules too;
- ``paths``: directories searched first (modules that shadow the real ones).

The directory that holds the package always stays importable (site-packages once
installed), and ``VKL_API_VIRTUAL_ASSETS_ROOT`` is unset.
"""

import os
import subprocess
import sys
import textwrap

import vkl_api

PKG_DIR = os.path.dirname(os.path.abspath(vkl_api.__file__))

PRELUDE = textwrap.dedent("""
    import importlib.abc, importlib.machinery, sys, types

    tried = []

    class _Blocker(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path=None, target=None):
            for b in BLOCKED:
                if name == b or name.startswith(b + "."):
                    tried.append(name)
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            if name in BROKEN:
                tried.append(name)
                raise RuntimeError("broken " + name)
            if name in FAIL_INIT:
                spec = importlib.machinery.PathFinder.find_spec(name, path)
                spec.loader = _FailingLoader(spec.loader)
                return spec
            return None

    class _FailingLoader(importlib.abc.Loader):
        # The extension's own loader creates and runs the module; the module's class
        # is swapped in between for one that refuses attribute assignment.
        def __init__(self, inner):
            self.inner = inner

        def create_module(self, spec):
            module = self.inner.create_module(spec)
            module.__class__ = _FailingModule
            return module

        def exec_module(self, module):
            _armed.add(module.__name__)
            self.inner.exec_module(module)

    _armed = set()

    class _FailingModule(types.ModuleType):
        def __setattr__(self, name, value):
            if self.__name__ in _armed:
                raise RuntimeError("injected into " + self.__name__)
            super().__setattr__(name, value)

    sys.meta_path.insert(0, _Blocker())
""")


def run(code, *, blocked=(), broken=(), fail_init=(), top_level=False, paths=(), timeout=120):
    search = [str(p) for p in paths] + ([PKG_DIR] if top_level else []) + [os.path.dirname(PKG_DIR)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(search))
    env.pop("VKL_API_VIRTUAL_ASSETS_ROOT", None)
    src = (f"BLOCKED = {list(blocked)!r}\nBROKEN = {list(broken)!r}\nFAIL_INIT = {list(fail_init)!r}\n"
           + PRELUDE + textwrap.dedent(code))
    proc = subprocess.run([sys.executable, "-c", src], env=env, capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout
