#!/usr/bin/python3
"""A client of Kelvorn: prints which tty to open for each supported modem port, present or
arriving, and which to close when it goes or when the daemon leaves.

Each supported port is an object under the daemon's ObjectManager at /com/Corvant/Kelvorn. The
client subscribes to InterfacesAdded, InterfacesRemoved and to the owner of the daemon's name
first, then reads GetManagedObjects, so that no port is missed in between; a port seen twice is
shown once. When the daemon leaves, every port it served is closed: a daemon that comes back
announces the ports again. Needs python3-gi; runs as any user.
"""
from gi.repository import Gio, GLib

NAME, PATH = 'com.Corvant.Kelvorn', '/com/Corvant/Kelvorn'
PORT = 'com.Corvant.Kelvorn.Port'
MANAGER = 'org.freedesktop.DBus.ObjectManager'
bus = Gio.bus_get_sync(Gio.BusType.SYSTEM)
ports = {}  # object path -> the port's properties


def port_added(path, interfaces):
    if PORT in interfaces and path not in ports:
        port = ports[path] = interfaces[PORT]
        print('open %s (VID %d, PID %d, %s)' % (port['Device'], port['VID'], port['PID'],
                                                 port['Model'] or 'no model name'), flush=True)


def port_removed(path):
    port = ports.pop(path, None)
    if port:
        print('close %s' % port['Device'], flush=True)


def read_present_ports():
    try:
        reply = bus.call_sync(NAME, PATH, MANAGER, 'GetManagedObjects', None,
                              GLib.VariantType('(a{oa{sa{sv}}})'), Gio.DBusCallFlags.NONE, 5000,
                              None)
    except GLib.Error:
        return  # not running: its ports come with InterfacesAdded once it is
    for path, interfaces in sorted(reply.unpack()[0].items(),
                                   key=lambda item: int(item[0].rsplit('/', 1)[1])):
        port_added(path, interfaces)


def on_manager_signal(connection, sender, path, interface, member, parameters):
    if member == 'InterfacesAdded':
        port_added(*parameters.unpack())
    elif member == 'InterfacesRemoved':
        object_path, interfaces = parameters.unpack()
        if PORT in interfaces:
            port_removed(object_path)


def on_owner_changed(connection, sender, path, interface, member, parameters):
    _, old_owner, new_owner = parameters.unpack()
    if old_owner:
        for path in list(ports):
            port_removed(path)
    if new_owner:
        read_present_ports()


# Matched on the sender: only the daemon (root) may own that name.
bus.signal_subscribe(NAME, MANAGER, None, PATH, None, Gio.DBusSignalFlags.NONE,
                     on_manager_signal)
bus.signal_subscribe('org.freedesktop.DBus', 'org.freedesktop.DBus', 'NameOwnerChanged',
                     '/org/freedesktop/DBus', NAME, Gio.DBusSignalFlags.NONE, on_owner_changed)
read_present_ports()
GLib.MainLoop().run()
