"""Shared fixtures: the serial-line emulator and transports connected to it.

``emulator``        a started ``emulator.Emulator`` (stopped at teardown).
``make_transport``  factory ``make_transport(emu_or_port=None, **kwargs)`` building a
                    ``VklOverUsb`` on the emulator's port (``connect_on_init`` as given,
                    default True); every transport it built is closed at teardown.
``transport``       a connected ``VklOverUsb`` on ``emulator``.
"""

import pytest

from emulator import Emulator


@pytest.fixture
def emulator():
    emu = Emulator().start()
    try:
        yield emu
    finally:
        emu.stop()


@pytest.fixture
def make_transport():
    from vkl_api.vkl_over_usb import VklOverUsb

    built = []

    def make(emu_or_port=None, cls=None, **kwargs):
        port = getattr(emu_or_port, "port", emu_or_port)
        t = (cls or VklOverUsb)(port, **kwargs)
        built.append(t)
        return t

    yield make
    for t in built:
        try:
            t.close()
        except Exception:
            pass


@pytest.fixture
def transport(emulator, make_transport):
    t = make_transport(emulator)
    assert t.is_connected
    return t
