#!/usr/bin/python3
"""A client of Kelvorn: prints which tty to open for each supported modem, present or arriving.

Subscribes to the daemon's notifications first, then asks for the modems present, so that none
is missed in between. Needs python3-gi; runs as any user.
"""
from gi.repository import Gio, GLib

NAME, PATH = 'com.Corvant.Kelvorn', '/com/Corvant/Kelvorn'
bus = Gio.bus_get_sync(Gio.BusType.SYSTEM)


def present_devices():
    """The supported serial ports present now, in arrival order: a list of dictionaries."""
    reply = bus.call_sync(NAME, PATH, 'com.Corvant.Kelvorn.Devices', 'GetSupportedDevices',
                          None, GLib.VariantType('(aa{sv})'), Gio.DBusCallFlags.NONE, 5000, None)
    return reply.unpack()[0]


def show(device):
    print('open %s (VID %d, PID %d, %s)' % (device['Device'], device['VID'], device['PID'],
                                             device['Model'] or 'no model name'), flush=True)


def on_posted(connection, sender, path, interface, member, parameters):
    name, info = parameters.unpack()
    if name == 'Supported device added':
        # The port that arrived is listed by now: the newest of this card's ports.
        ports = [d for d in present_devices()
                 if (d['VID'], d['PID']) == (info['VID'], info['PID'])]
        if ports:
            show(ports[-1])
    elif name == 'Supported device removed':
        print('closed: modem %d:%d was removed' % (info['VID'], info['PID']), flush=True)


# Match on the sender too: only the daemon (root) may own that name and send these signals.
bus.signal_subscribe(NAME, 'com.Corvant.Kelvorn.Notifications', 'Posted', PATH, None,
                     Gio.DBusSignalFlags.NONE, on_posted)
for device in present_devices():
    show(device)
GLib.MainLoop().run()
