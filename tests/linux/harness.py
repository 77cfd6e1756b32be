"""Stand-ins for the hardware and system services that Kelvorn's Linux backend talks to.

Meant to run inside the private root (private-root.sh) under umockdev-wrapper:
- PrivateSystemBus: a dbus-daemon with a system-bus configuration of its own;
- MockLogind: python3-dbusmock's logind template, with seat0, sessions, the greeter and sleep;
- SignalListener: records the notifications the daemon broadcasts;
- UsbTopology: USB modems, hubs and their ttys in a umockdev testbed, plugged and unplugged the
  way the kernel does it.
"""

import os
import queue
import xml.etree.ElementTree as ElementTree
import shutil
import subprocess
import tempfile
import threading
import time

import gi

gi.require_version('UMockdev', '1.0')
from gi.repository import Gio, GLib, UMockdev  # noqa: E402

NOTIFICATION_PATH = '/com/Corvant/Kelvorn'
NOTIFICATION_INTERFACE = 'com.Corvant.Kelvorn.Notifications'
NOTIFICATION_MEMBER = 'Posted'
DAEMON_BUS_NAME = 'com.Corvant.Kelvorn'

PYTHON = '/usr/bin/python3'

POLICY_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                           '../../packaging/com.Corvant.Kelvorn.conf')
INTERFACE_FILE = os.path.join(os.path.dirname(POLICY_FILE),
                              NOTIFICATION_INTERFACE + '.xml')

# The system bus's usual rules: nobody owns names or calls methods unless a policy allows it;
# signals go everywhere. On top come the rules logind ships and Kelvorn's own policy file.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
  </policy>
  <policy user="root">
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Monitoring"/>
  </policy>
  <policy context="default">
    <allow own="org.freedesktop.login1"/>
    <allow send_destination="org.freedesktop.login1"/>
    <allow own="org.freedesktop.systemd1"/>
    <allow send_destination="org.freedesktop.systemd1"/>
  </policy>
  {policy}
  {services}
</busconfig>
"""


def wait_until(predicate, timeout, interval=0.05):
    """Polls `predicate` until it returns something true; that value, or None at the timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


class PrivateSystemBus:
    """A dbus-daemon of the test's own, standing in for the system bus."""

    def __init__(self, folder, with_policy=True, activation=False):
        """`activation`: the shipped bus activation file is read, and activations are asked of
        systemd (whoever owns org.freedesktop.systemd1), as on a system booted with it."""
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        socket = os.path.join(folder, 'system_bus_socket')
        config = os.path.join(folder, 'system.conf')
        with open(config, 'w') as f:
            policy = '<include>%s</include>' % os.path.abspath(POLICY_FILE) if with_policy else ''
            services = ('<servicedir>%s</servicedir>' % os.path.dirname(os.path.abspath(POLICY_FILE))
                        if activation else '')
            f.write(BUS_CONFIG.format(socket=socket, policy=policy, services=services))
        self.process = subprocess.Popen(
            ['dbus-daemon', '--config-file=' + config, '--nofork', '--nopidfile',
             '--print-address=1'] + (['--systemd-activation'] if activation else []),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.process.stdout.readline().strip()
        if not self.address:
            raise RuntimeError('dbus-daemon did not start')

    def environment(self):
        return {'DBUS_SYSTEM_BUS_ADDRESS': self.address}

    def connect(self):
        return Gio.DBusConnection.new_for_address_sync(
            self.address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.process.stdout.close()


def introspect(connection, timeout=2):
    """The daemon's object's introspection data, asked with a `timeout` in seconds."""
    (xml,) = connection.call_sync(
        DAEMON_BUS_NAME, NOTIFICATION_PATH, 'org.freedesktop.DBus.Introspectable', 'Introspect',
        None, GLib.VariantType('(s)'), Gio.DBusCallFlags.NONE, int(timeout * 1000),
        None).unpack()
    return xml


def notification_signals(xml):
    """The signals of the notifications' interface in introspection data: name -> arguments."""
    interface = ElementTree.fromstring(xml).find(
        "interface[@name='%s']" % NOTIFICATION_INTERFACE)
    return {signal.get('name'): [(arg.get('type'), arg.get('name')) for arg in signal]
            for signal in interface.iter('signal')}


def shipped_notification_signals():
    with open(INTERFACE_FILE) as f:
        return notification_signals(f.read())


class MockLogind:
    """python3-dbusmock's logind on the private bus: seat0, sessions, the greeter, sleep."""

    LOGIN1 = 'org.freedesktop.login1'
    MOCK = 'org.freedesktop.DBus.Mock'

    def __init__(self, bus):
        env = dict(os.environ, **bus.environment())
        self.process = subprocess.Popen(
            [PYTHON, '-m', 'dbusmock', '--template', 'logind', '--system'],
            env=env, stdout=subprocess.DEVNULL)
        self.connection = bus.connect()
        if not wait_until(self._running, 20):
            raise RuntimeError('mock logind did not start')
        self.sessions = 0

    def _running(self):
        reply = self.connection.call_sync(
            'org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
            'NameHasOwner', GLib.Variant('(s)', (self.LOGIN1,)), None,
            Gio.DBusCallFlags.NONE, -1, None)
        return reply.unpack()[0]

    def _call(self, path, interface, method, signature, args):
        return self.connection.call_sync(
            self.LOGIN1, path, interface, method, GLib.Variant(signature, args), None,
            Gio.DBusCallFlags.NONE, -1, None).unpack()

    def _set(self, path, interface, name, value):
        self._call(path, 'org.freedesktop.DBus.Properties', 'Set', '(ssv)',
                   (interface, name, value))

    def add_seat0(self):
        self._call('/org/freedesktop/login1', self.MOCK, 'AddSeat', '(s)', ('seat0',))

    def log_in(self, user, uid=1000, session_class='user'):
        """Opens a session on seat0 and makes it the active one; returns its object path."""
        self.sessions += 1
        (path,) = self._call('/org/freedesktop/login1', self.MOCK, 'AddSession', '(ssusb)',
                             (str(self.sessions), 'seat0', uid, user, True))
        self._set(path, 'org.freedesktop.login1.Session', 'Class',
                  GLib.Variant('s', session_class))
        return path

    def show_greeter(self):
        return self.log_in('gdm', uid=120, session_class='greeter')

    def leave_seat_empty(self):
        self._set('/org/freedesktop/login1/seat/seat0', 'org.freedesktop.login1.Seat',
                  'ActiveSession', GLib.Variant('(so)', ('', '/')))

    def prepare_for_sleep(self, going_to_sleep):
        self._call('/org/freedesktop/login1', self.MOCK, 'EmitSignal', '(sssav)',
                   ('org.freedesktop.login1.Manager', 'PrepareForSleep', 'b',
                    [GLib.Variant('b', going_to_sleep)]))

    def stop(self):
        self.process.terminate()
        self.process.wait()


class SignalListener:
    """Records every notification broadcast on the bus: (name, user information, arrival time)."""

    def __init__(self, bus, sender=DAEMON_BUS_NAME):
        self.received = queue.Queue()
        self.sender = sender
        self.context = GLib.MainContext.new()
        self.loop = GLib.MainLoop.new(self.context, False)
        ready = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(bus, ready), daemon=True)
        self.thread.start()
        ready.wait(10)

    def _run(self, bus, ready):
        self.context.push_thread_default()
        self.connection = bus.connect()
        # Normally only signals of the name's owner count: the daemon's policy must let it take
        # the name.
        self.connection.signal_subscribe(
            self.sender, NOTIFICATION_INTERFACE, NOTIFICATION_MEMBER, NOTIFICATION_PATH, None,
            Gio.DBusSignalFlags.NONE, self._on_signal)
        # A round trip makes sure the bus has the subscription before anyone relies on it.
        self.connection.call_sync('org.freedesktop.DBus', '/org/freedesktop/DBus',
                                  'org.freedesktop.DBus', 'GetId', None, None,
                                  Gio.DBusCallFlags.NONE, -1, None)
        ready.set()
        self.loop.run()

    def _on_signal(self, connection, sender, path, interface, member, parameters):
        name, user_info = parameters.unpack()
        self.received.put((name, user_info, time.monotonic(), parameters.get_type_string()))

    def next(self, timeout):
        """The next notification as (name, user information, time, signature), or None."""
        try:
            return self.received.get(timeout=timeout)
        except queue.Empty:
            return None

    def stop(self):
        self.loop.quit()
        self.thread.join(5)


class UsbTopology:
    """USB devices in a umockdev testbed under one PCI host controller and its root hub."""

    CONTROLLER = '/devices/pci0000:00/0000:00:14.0'
    ROOT_HUB = CONTROLLER + '/usb1'

    def __init__(self):
        self.testbed = UMockdev.Testbed.new()
        self._add(self._record(self.CONTROLLER, {'SUBSYSTEM': 'pci'}, {'vendor': '0x8086'}))
        self._add(self._usb_device(self.ROOT_HUB, 0x1d6b, 0x0002))

    def environment(self):
        return {'UMOCKDEV_DIR': self.testbed.get_root_dir()}

    @staticmethod
    def _record(path, properties, attributes=None):
        lines = ['P: ' + path]
        lines += ['E: %s=%s' % item for item in properties.items()]
        lines += ['A: %s=%s' % item for item in (attributes or {}).items()]
        return '\n'.join(lines) + '\n'

    def _usb_device(self, path, vendor, product):
        return self._record(path, {'SUBSYSTEM': 'usb', 'DEVTYPE': 'usb_device'},
                            {'idVendor': '%04x' % vendor, 'idProduct': '%04x' % product})

    def _add(self, record):
        if not self.testbed.add_from_string(record):
            raise RuntimeError('umockdev refused ' + record)

    def child_path(self, parent, port):
        """The path of the USB device on `port` of hub `parent` (the root hub or another hub)."""
        name = parent.rsplit('/', 1)[-1]
        child = '1-%d' % port if name == 'usb1' else '%s.%d' % (name, port)
        return parent + '/' + child

    def plug_hub(self, port=1, vendor=0x05e3, product=0x0608, parent=None):
        path = self.child_path(parent or self.ROOT_HUB, port)
        self._add(self._usb_device(path, vendor, product))
        return path

    def plug_modem(self, driver, tty, vendor, product, port, hub=None, before_tty=None):
        """Plugs a modem whose first interface carries `tty`; parents first, as the kernel adds
        them. `driver` is 'usb-serial' (ttyUSB: a port node between interface and tty) or
        'cdc-acm' (ttyACM: the tty straight on the interface). `before_tty` is called just before
        the tty is added. Returns the paths, device first."""
        device = self.child_path(hub or self.ROOT_HUB, port)
        interface = device + '/' + device.rsplit('/', 1)[-1] + ':1.0'
        paths = [device, interface]
        records = [self._usb_device(device, vendor, product),
                   self._record(interface, {'SUBSYSTEM': 'usb', 'DEVTYPE': 'usb_interface'},
                                {'bInterfaceNumber': '00'})]
        if driver == 'usb-serial':
            port_node = interface + '/' + tty
            paths.append(port_node)
            records.append(self._record(port_node, {'SUBSYSTEM': 'usb-serial'}))
            tty_path = port_node + '/tty/' + tty
        else:
            tty_path = interface + '/tty/' + tty
        paths.append(tty_path)
        records.append(self._record(tty_path, {'SUBSYSTEM': 'tty', 'DEVNAME': '/dev/' + tty}))
        for record in records[:-1]:
            self._add(record)
        if before_tty:
            before_tty()
        self._add(records[-1])
        return paths

    def plug_virtual_tty(self, name):
        path = '/devices/virtual/tty/' + name
        self._add(self._record(path, {'SUBSYSTEM': 'tty', 'DEVNAME': '/dev/' + name}))
        return [path]

    def unplug(self, paths):
        """Removes what plug_modem added, bottom-up, each with its "remove" uevent first."""
        for path in reversed(paths):
            self.testbed.uevent('/sys' + path, 'remove')
            self.testbed.remove_device('/sys' + path)


class Services:
    """The private bus, the mock logind, the listener and the testbed, started together."""

    def __init__(self, with_policy=True, activation=False):
        self.folder = tempfile.mkdtemp(prefix='services-')
        self.bus = PrivateSystemBus(os.path.join(self.folder, 'bus'), with_policy, activation)
        self.logind = MockLogind(self.bus)
        self.listener = SignalListener(self.bus, DAEMON_BUS_NAME if with_policy else None)
        self.usb = UsbTopology()

    def environment(self):
        env = dict(os.environ)
        env.update(self.bus.environment())
        env.update(self.usb.environment())
        # The sanitizer runtime need not come first when umockdev's library is preloaded.
        asan = env.get('ASAN_OPTIONS', '')
        env['ASAN_OPTIONS'] = (asan + ':' if asan else '') + 'verify_asan_link_order=0'
        return env

    def stop(self):
        self.listener.stop()
        self.logind.stop()
        self.bus.stop()
        shutil.rmtree(self.folder, ignore_errors=True)
