"""The Linux backend against umockdev devices, a private system bus and a mock logind.

The probe program drives the backend's services the way the daemon does and prints what they
report; these tests plug devices, log users in and out, send sleep signals, and read its lines.
"""

import os
import plistlib
import queue
import subprocess
import threading
import time
import unittest

import harness
from harness import Gio, GLib

PROBE = os.environ.get('KO_PROBE', 'linux_backend_probe')
OPEN = os.path.join(os.environ.get('KO_OPEN_DIR', ''), 'open')
PYTHON = '/usr/bin/python3'

# A user every Debian system has, and one no password database knows.
NOBODY = 65534
UNKNOWN_UID = 4242

CLIENT = """#!/bin/sh
# Notes who it runs as and with what, for the test to read.
{ id -u; id -G; pwd; env; } > /tmp/launch/record.tmp
mv /tmp/launch/record.tmp /tmp/launch/record
"""


def can_switch_users():
    """Whether the private root can become other users: only when it was not made in a user
    namespace, which maps no user but root."""
    with open('/proc/self/uid_map') as f:
        return f.read().split() == ['0', '0', '4294967295']


def install_client(bundle='/Applications/Solvane.app'):
    os.makedirs(bundle + '/Contents/MacOS', exist_ok=True)
    with open(bundle + '/Contents/Info.plist', 'wb') as f:
        plistlib.dump({'CFBundleExecutable': 'Solvane'}, f)
    with open(bundle + '/Contents/MacOS/Solvane', 'w') as f:
        f.write(CLIENT)
    os.chmod(bundle + '/Contents/MacOS/Solvane', 0o755)
    os.makedirs('/tmp/launch', exist_ok=True)
    os.chmod('/tmp/launch', 0o777)
    return bundle


def run_as(uid, command, **kwargs):
    return subprocess.Popen(command, user=uid, group=uid, extra_groups=[], **kwargs)


class UserManager:
    """A bus of the user's own at /run/user/<uid>/bus with a mock service manager on it, both
    running as that user; the mock's log shows the calls it received."""

    def __init__(self, uid, start=True):
        self.uid = uid
        self.folder = '/run/user/%d' % uid
        os.makedirs(self.folder, exist_ok=True)
        os.chown(self.folder, uid, uid)
        os.chmod(self.folder, 0o700)
        self.bus = run_as(uid, ['dbus-daemon', '--session', '--nofork', '--nopidfile',
                                '--address=unix:path=%s/bus' % self.folder, '--print-address=1'],
                          stdout=subprocess.PIPE, text=True)
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.bus.stdout.readline().strip())
        self.log = self.folder + '/manager.log'
        self.manager = None
        if start:
            self.start()

    def start(self):
        """Starts the manager on the bus (a manager that connects to it late)."""
        self.manager = run_as(self.uid, [PYTHON, '-m', 'dbusmock', '--template', 'systemd',
                                         '--session', '-l', self.log], env=self.env,
                              stdout=subprocess.DEVNULL)
        asked = ['dbus-send', '--session', '--print-reply', '--dest=org.freedesktop.DBus', '/',
                 'org.freedesktop.DBus.NameHasOwner', 'string:org.freedesktop.systemd1']
        if not harness.wait_until(
                lambda: 'true' in subprocess.run(asked, env=self.env, user=self.uid,
                                                 group=self.uid, extra_groups=[],
                                                 capture_output=True, text=True).stdout, 20):
            raise RuntimeError('the mock service manager did not start')

    def calls(self):
        with open(self.log) as f:
            return f.read()

    def stop(self):
        for process in (self.manager, self.bus):
            if process:
                process.terminate()
                process.wait()
        self.bus.stdout.close()
        for left in ('/bus', '/manager.log'):
            if os.path.exists(self.folder + left):
                os.remove(self.folder + left)


class SystemManager:
    """A mock of the system's service manager on the private system bus. It knows
    user@<uid>.service once told its state; it logs the transient units asked of it."""

    MANAGER = ('org.freedesktop.systemd1', '/org/freedesktop/systemd1')

    def __init__(self, bus):
        self.process = subprocess.Popen(
            [PYTHON, '-m', 'dbusmock', '--template', 'systemd', '--system'],
            env=dict(os.environ, **bus.environment()), stdout=subprocess.DEVNULL)
        self.connection = bus.connect()
        if not harness.wait_until(self._running, 20):
            raise RuntimeError('the mock system manager did not start')

    def _running(self):
        reply = self.connection.call_sync(
            'org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
            'NameHasOwner', harness.GLib.Variant('(s)', (self.MANAGER[0],)), None,
            harness.Gio.DBusCallFlags.NONE, -1, None)
        return reply.unpack()[0]

    def _call(self, path, interface, method, signature, args):
        return self.connection.call_sync(
            self.MANAGER[0], path, interface, method, harness.GLib.Variant(signature, args),
            None, harness.Gio.DBusCallFlags.NONE, -1, None).unpack()

    def set_user_manager(self, uid, state):
        unit = '/org/freedesktop/systemd1/unit/user_40%d_2eservice' % uid
        mock = 'org.freedesktop.DBus.Mock'
        if not getattr(self, 'unit', None):
            self.unit = unit
            self._call(self.MANAGER[1], mock, 'AddObject', '(ssa{sv}a(ssss))',
                       (unit, 'org.freedesktop.systemd1.Unit',
                        {'ActiveState': harness.GLib.Variant('s', state)}, []))
            self._call(self.MANAGER[1], mock, 'AddMethod', '(sssss)',
                       ('', 'GetUnit', 's', 'o', 'ret = "%s"' % unit))
        self._call(unit, 'org.freedesktop.DBus.Properties', 'Set', '(ssv)',
                   ('org.freedesktop.systemd1.Unit', 'ActiveState',
                    harness.GLib.Variant('s', state)))

    def transient_units(self):
        """The name and properties of each transient unit asked for."""
        (calls,) = self._call(self.MANAGER[1], 'org.freedesktop.DBus.Mock', 'GetMethodCalls',
                              '(s)', ('StartTransientUnit',))
        return [(arguments[0], dict(arguments[2])) for _, arguments in calls]

    def stop(self):
        self.process.terminate()
        self.process.wait()

# Sends the notification the daemon would, as whatever user runs it.
FORGER = """
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SYSTEM)
bus.emit_signal(None, '%s', '%s', '%s', GLib.Variant(
    '(sa{sv})', ('Supported device added', {'VID': GLib.Variant('x', 4817)})))
bus.flush_sync()
""" % (harness.NOTIFICATION_PATH, harness.NOTIFICATION_INTERFACE, harness.NOTIFICATION_MEMBER)

# Calls another service with a method call that carries no interface field (legal, and answered
# unless a policy refuses it), as whatever user runs it; fails when the bus refuses the call.
NO_INTERFACE_CALL = """
from gi.repository import Gio
call = Gio.DBusMessage.new_method_call(
    'org.freedesktop.login1', '/org/freedesktop/login1', None, 'Introspect')
reply, _ = Gio.bus_get_sync(Gio.BusType.SYSTEM).send_message_with_reply_sync(
    call, Gio.DBusSendMessageFlags.NONE, 5000, None)
reply.to_gerror()
"""


# Reads the daemon's objects as whatever user runs it: each read must be answered, and writing a
# property refused.
READS = """
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SYSTEM)
def call(path, interface, method, args=None):
    return bus.call_sync('com.Corvant.Kelvorn', path, interface, method, args, None,
                         Gio.DBusCallFlags.NONE, 5000, None).unpack()
P = 'org.freedesktop.DBus.Properties'
assert call('/com/Corvant/Kelvorn', P, 'GetAll',
            GLib.Variant('(s)', ('com.Corvant.Kelvorn.Daemon',)))[0]['State'] == 'watching'
objects = call('/com/Corvant/Kelvorn', 'org.freedesktop.DBus.ObjectManager', 'GetManagedObjects')[0]
assert objects['/com/Corvant/Kelvorn/Port/1']['com.Corvant.Kelvorn.Port']['Device'] == '/dev/ttyUSB0'
assert call('/com/Corvant/Kelvorn/Port/1', P, 'Get',
            GLib.Variant('(ss)', ('com.Corvant.Kelvorn.Port', 'VID')))[0] == 4817
call('/com/Corvant/Kelvorn/Port/1', 'org.freedesktop.DBus.Introspectable', 'Introspect')
call('/com/Corvant/Kelvorn', 'org.freedesktop.DBus.Peer', 'Ping')
try:
    call('/com/Corvant/Kelvorn', P, 'Set', GLib.Variant(
        '(ssv)', ('com.Corvant.Kelvorn.Daemon', 'State', GLib.Variant('s', 'x'))))
    raise SystemExit('Set was answered')
except GLib.Error as refused:
    print(refused.message)
"""


class Probe:
    def __init__(self, env):
        self.process = subprocess.Popen([PROBE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env=env, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.expect('ready')

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip('\n'))

    def send(self, command):
        self.process.stdin.write(command + '\n')
        self.process.stdin.flush()

    def expect(self, prefix, timeout=10):
        """The next line, which must start with `prefix`."""
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError('probe said nothing; expected ' + prefix) from None
        if not line.startswith(prefix):
            raise AssertionError('probe said %r; expected %r' % (line, prefix))
        return line

    def ask(self, command, prefix, timeout=10):
        self.send(command)
        return self.expect(prefix, timeout)

    def quiet_for(self, seconds):
        try:
            line = self.lines.get(timeout=seconds)
        except queue.Empty:
            return
        raise AssertionError('probe said %r; expected nothing' % line)

    def quit(self):
        self.send('quit')
        status = self.process.wait(30)
        self.close()
        return status

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()


def fields(line):
    """The key=value words of a device line."""
    return dict(word.split('=', 1) for word in line.split() if '=' in word)


class BackendTest(unittest.TestCase):
    def setUp(self):
        self.services = harness.Services()
        self.usb = self.services.usb
        self.probe = None

    def tearDown(self):
        if self.probe:
            self.probe.close()
        self.services.stop()

    def start_probe(self, env=None):
        self.probe = Probe(env or self.services.environment())
        return self.probe

    def assertQuits(self):
        self.assertEqual(self.probe.quit(), 0)

    def assertDevice(self, line, tty, fourth, vendor, product):
        seen = fields(line)
        self.assertTrue(line.split()[1] == tty, line)
        self.assertEqual(seen['fourth'], fourth, line)
        self.assertEqual((seen['vid'], seen['pid']), (str(vendor), str(product)), line)

    def test_every_topology_reports_the_modems_own_ids(self):
        hub = self.usb.plug_hub(port=1)
        self.usb.plug_modem('usb-serial', 'ttyUSB0', 0x12d1, 0x1506, port=2)
        self.usb.plug_modem('cdc-acm', 'ttyACM0', 0x1199, 0x68a3, port=4, hub=hub)
        self.usb.plug_virtual_tty('tty1')
        probe = self.start_probe()
        probe.send('watch')
        present = sorted([probe.expect('present'), probe.expect('present')])
        probe.expect('watching')
        self.assertDevice(present[0], 'ttyACM0', '1-1.4', 0x1199, 0x68a3)
        self.assertDevice(present[1], 'ttyUSB0', '1-2', 0x12d1, 0x1506)
        self.assertEqual(fields(present[1])['kinds'],
                         'tty<port<usb_interface<usb_configuration<usb_device<usb_device<pci')
        self.assertEqual(fields(present[0])['kinds'],
                         'tty<port<usb_interface<usb_configuration<usb_device<usb_device'
                         '<usb_device<pci')

        self.usb.plug_modem('usb-serial', 'ttyUSB1', 0x12d1, 0x1001, port=3, hub=hub)
        self.assertDevice(probe.expect('arrived'), 'ttyUSB1', '1-1.3', 0x12d1, 0x1001)
        self.usb.plug_modem('cdc-acm', 'ttyACM1', 0x1199, 0x9011, port=3)
        self.assertDevice(probe.expect('arrived'), 'ttyACM1', '1-3', 0x1199, 0x9011)
        probe.quiet_for(0.5)
        self.assertQuits()

    def test_removals_name_the_device_that_went(self):
        probe = self.start_probe()
        probe.ask('watch', 'watching')
        modem = self.usb.plug_modem('usb-serial', 'ttyUSB0', 0x12d1, 0x1506, port=2)
        self.assertDevice(probe.expect('arrived'), 'ttyUSB0', '1-2', 0x12d1, 0x1506)
        self.usb.unplug(modem)
        line = probe.expect('removed')
        self.assertDevice(line, 'ttyUSB0', '1-2', 0x12d1, 0x1506)
        self.assertEqual(fields(line)['base'], 'ttyUSB')
        self.assertEqual(fields(line)['suffix'], '0')
        # A virtual tty coming and going is no serial device.
        self.usb.unplug(self.usb.plug_virtual_tty('tty7'))
        probe.quiet_for(0.5)
        self.assertQuits()

    def test_events_during_a_wait_queue_and_come_in_order(self):
        probe = self.start_probe()
        probe.ask('watch', 'watching')
        probe.send('block 2')
        time.sleep(0.3)
        first = self.usb.plug_modem('cdc-acm', 'ttyACM0', 0x1199, 0x68a3, port=2)
        second = self.usb.plug_modem('cdc-acm', 'ttyACM1', 0x1199, 0x68a3, port=3)
        self.usb.unplug(first)
        third = self.usb.plug_modem('usb-serial', 'ttyUSB0', 0x12d1, 0x1506, port=4)
        probe.expect('unblocked', timeout=10)
        # Ready together: a batch of two arrivals, one removal, one arrival, in that order.
        arrived = probe.expect('arrived')[len('arrived '):].split('; ')
        self.assertEqual([item.split()[0] for item in arrived], ['ttyACM0', 'ttyACM1'])
        self.assertIn('ttyACM0', probe.expect('removed'))
        self.assertIn('ttyUSB0', probe.expect('arrived'))
        self.usb.unplug(second)
        self.assertIn('ttyACM1', probe.expect('removed'))
        self.usb.unplug(third)
        self.assertIn('ttyUSB0', probe.expect('removed'))
        self.assertQuits()

    def test_a_wait_answers_introspection_while_power_events_queue(self):
        probe = self.start_probe()
        probe.ask('power', 'power watched')
        probe.ask('console', 'console')  # a round trip: the subscription is in place
        probe.send('block 3')
        time.sleep(0.3)
        self.services.logind.prepare_for_sleep(True)
        asked = time.monotonic()
        xml = harness.introspect(self.services.bus.connect())
        self.assertLess(time.monotonic() - asked, 1)
        self.assertEqual(harness.notification_signals(xml),
                         harness.shipped_notification_signals())
        probe.expect('unblocked')
        probe.expect('power 0xE0000210')
        self.assertQuits()

    def test_only_root_may_send_the_notifications(self):
        # A subscriber that does not check the sender still gets no signal forged by another user.
        os.chmod(self.services.folder, 0o755)
        anyone = harness.SignalListener(self.services.bus, None)
        as_nobody = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups']
        try:
            forger = subprocess.run(as_nobody + [harness.PYTHON, '-c', FORGER],
                                    env=self.services.environment(), timeout=30)
            self.assertEqual(forger.returncode, 0)
            probe = self.start_probe()
            # The policy touches nothing else: another service is called as before, by anyone;
            # and anyone, root too, reads the daemon's objects.
            for user in (as_nobody, []):
                for script in (NO_INTERFACE_CALL, READS):
                    call = subprocess.run(user + [harness.PYTHON, '-c', script],
                                          env=self.services.environment(), timeout=30,
                                          capture_output=True, text=True)
                    self.assertEqual(call.returncode, 0, call.stderr)
            probe.ask('post Supported device removed', 'posted')
            name, _, _, _ = anyone.next(timeout=10)
            self.assertEqual(name, 'Supported device removed')
            self.assertQuits()
        finally:
            anyone.stop()

    def test_a_call_while_the_daemon_is_down_asks_systemd_for_its_unit(self):
        self.services.stop()
        self.services = harness.Services(activation=True)
        # systemd, as far as the bus sees it: the owner of its name, hearing activation requests.
        systemd = self.services.bus.connect()
        systemd.call_sync('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                          'RequestName', GLib.Variant('(su)', ('org.freedesktop.systemd1', 0)),
                          None, Gio.DBusCallFlags.NONE, -1, None)
        units = []
        systemd.signal_subscribe(None, 'org.freedesktop.systemd1.Activator', 'ActivationRequest',
                                 '/org/freedesktop/DBus', None, Gio.DBusSignalFlags.NONE,
                                 lambda *signal: units.append(signal[-1].unpack()[0]))
        client = subprocess.Popen([harness.PYTHON, '-c', READS], env=self.services.environment(),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        context = GLib.MainContext.default()
        self.assertTrue(harness.wait_until(lambda: [context.iteration(False)] and units, 10))
        self.assertEqual(units, ['kelvorn.service'])
        # The unit starts: the daemon takes its name, and the waiting call is answered.
        self.start_probe()
        output, errors = client.communicate(timeout=20)
        self.assertEqual(client.returncode, 0, errors)
        self.assertQuits()

    def test_console_user_is_the_active_session_of_seat0(self):
        logind = self.services.logind
        probe = self.start_probe()
        probe.ask('console', 'console nobody')  # no seat0 at all
        logind.add_seat0()
        probe.ask('console', 'console nobody')  # seat0 without a session
        logind.show_greeter()
        probe.ask('console', 'console nobody')
        logind.log_in('user1')
        probe.ask('console', 'console user1')
        logind.log_in('user2', uid=1001)
        probe.ask('console', 'console user2')
        logind.leave_seat_empty()
        probe.ask('console', 'console nobody')
        self.assertQuits()

    def test_each_change_of_the_active_session_tells_who_is_at_the_console_now(self):
        logind = self.services.logind
        logind.add_seat0()
        probe = self.start_probe()
        probe.ask('switches', 'switches watched')
        probe.ask('console', 'console nobody')  # a round trip: the subscription is in place
        logind.log_in('user1')
        probe.expect('switched user1')
        logind.log_in('user2', uid=1001)
        probe.expect('switched user2')
        logind.leave_seat_empty()
        probe.expect('switched nobody')
        # The seat's other properties (its list of sessions) changed too, and told nothing.
        probe.quiet_for(0.5)
        self.assertQuits()

    def test_prepare_for_sleep_becomes_power_messages(self):
        probe = self.start_probe()
        probe.ask('power', 'power watched')
        probe.ask('console', 'console')  # a round trip: the subscription is in place
        logind = self.services.logind
        logind.prepare_for_sleep(True)
        probe.expect('power 0xE0000210')
        logind.prepare_for_sleep(False)
        probe.expect('power 0xE0000230')
        self.assertQuits()

    def test_notifications_reach_the_bus_with_typed_user_information(self):
        probe = self.start_probe()
        probe.ask('post Supported device added', 'posted')
        name, user_info, _, signature = self.services.listener.next(timeout=10)
        self.assertEqual(name, 'Supported device added')
        self.assertEqual(user_info, {'VID': 4817, 'PID': 5382, 'fromDaemon': 'YES'})
        self.assertEqual(signature, '(sa{sv})')
        self.assertQuits()

    def test_a_post_reaches_a_restarted_bus_and_fails_openly_without_one(self):
        # The bus's address as a system names it: without the guid of one particular bus daemon.
        env = self.services.environment()
        env['DBUS_SYSTEM_BUS_ADDRESS'] = env['DBUS_SYSTEM_BUS_ADDRESS'].split(',guid=')[0]
        probe = self.start_probe(env)
        probe.ask('post Supported device added', 'posted')
        self.assertIsNotNone(self.services.listener.next(timeout=10))
        services = self.services
        services.listener.stop()
        services.logind.stop()
        services.bus.stop()
        probe.ask('post Supported device added', 'not posted')

        # A bus at the same address again: the next post connects to it.
        services.bus = harness.PrivateSystemBus(services.bus.folder)
        services.listener = harness.SignalListener(services.bus)
        probe.ask('post Supported device removed', 'posted')
        name, _, _, _ = services.listener.next(timeout=10)
        self.assertEqual(name, 'Supported device removed')
        self.assertQuits()

    def test_a_refused_bus_name_costs_nothing_but_the_name(self):
        # A bus without the daemon's policy refuses it the name; the connection must stay.
        self.services.stop()
        self.services = harness.Services(with_policy=False)
        probe = self.start_probe()
        probe.ask('power', 'power watched')
        probe.ask('post Supported device removed', 'posted')
        name, _, _, _ = self.services.listener.next(timeout=10)
        self.assertEqual(name, 'Supported device removed')
        self.services.logind.prepare_for_sleep(True)
        probe.expect('power 0xE0000210')
        self.services.logind.add_seat0()
        self.services.logind.log_in('user1')
        probe.ask('console', 'console user1')
        self.assertQuits()

    def open_bundle(self, bundle):
        """Runs the shipped open as root; its exit status and standard error."""
        done = subprocess.run([OPEN, bundle], env=self.services.environment(),
                              capture_output=True, text=True, timeout=30)
        return done.returncode, done.stderr

    def test_open_run_by_root_starts_the_client_as_the_console_user_only(self):
        if not can_switch_users():
            self.skipTest('the private root maps no user but root (run the tests as root)')
        bundle = install_client()
        record = '/tmp/launch/record'
        logind = self.services.logind
        logind.add_seat0()
        refusals = [
            (lambda: None, 'nobody is logged in at the console'),
            (lambda: logind.log_in('kelvorn-unknown', uid=UNKNOWN_UID),
             'the console user kelvorn-unknown (uid 4242) is not in the password database'),
            (lambda: logind.log_in('root', uid=0), 'applications are never started as root'),
        ]
        for scene, reason in refusals:
            scene()
            status, error = self.open_bundle(bundle)
            self.assertEqual(status, 1, error)
            self.assertIn(reason, error)
        time.sleep(0.5)
        self.assertFalse(os.path.exists(record))

        # No service manager runs here at all: the client starts directly, as the user.
        session = logind.log_in('nobody', uid=NOBODY)
        logind._set(session, 'org.freedesktop.login1.Session', 'Display',
                    harness.GLib.Variant('s', ':1'))
        status, error = self.open_bundle(bundle)
        self.assertEqual(status, 0, error)
        self.assertIn('started as nobody (uid 65534): directly', error)
        self.assertTrue(harness.wait_until(lambda: os.path.exists(record), 10))
        with open(record) as f:
            uid, groups, folder, *environment = f.read().splitlines()
        self.assertEqual((uid, groups, folder), ('65534', '65534', '/'))
        for variable in ('HOME=/nonexistent', 'USER=nobody', 'XDG_RUNTIME_DIR=/run/user/65534',
                         'DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/65534/bus',
                         'DISPLAY=:1'):
            self.assertIn(variable, environment)
        self.assertFalse([line for line in environment if line.startswith('DBUS_SYSTEM_BUS')])

        # Without the system's manager, a manager of the user on the user's bus still starts it.
        os.remove(record)
        manager = UserManager(NOBODY)
        try:
            status, error = self.open_bundle(bundle)
            self.assertEqual(status, 0, error)
            self.assertIn("of the user's service manager", error)
            calls = manager.calls()
            self.assertIn('StartTransientUnit', calls)
            self.assertIn(bundle + '/Contents/MacOS/Solvane', calls)
            self.assertIn('XDG_RUNTIME_DIR=/run/user/65534', calls)
        finally:
            manager.stop()
        self.assertFalse(os.path.exists(record))

        # With the system's service manager on the bus, its word on user@65534.service decides.
        system = SystemManager(self.services.bus)
        try:
            # No manager of the user: a service of the system's manager that runs as the user.
            status, error = self.open_bundle(bundle)
            self.assertEqual(status, 0, error)
            self.assertIn("of the system's service manager, no service manager of the user runs",
                          error)
            [(unit, properties)] = system.transient_units()
            self.assertTrue(unit.startswith('kelvorn-open-65534-'), unit)
            self.assertEqual(properties['ExecStart'][0][0], bundle + '/Contents/MacOS/Solvane')
            self.assertEqual((properties['User'], properties['Group']), ('65534', '65534'))
            self.assertEqual(properties['SupplementaryGroups'], ['65534'])
            self.assertEqual(properties['WorkingDirectory'], '-/nonexistent')
            self.assertEqual(properties['Slice'], 'user-65534.slice')
            for variable in ('HOME=/nonexistent', 'USER=nobody',
                             'XDG_RUNTIME_DIR=/run/user/65534',
                             'DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/65534/bus',
                             'DISPLAY=:1'):
                self.assertIn(variable, properties['Environment'])

            # A manager of the user that runs, or that starts and reaches its bus only seconds
            # later: a service of the user's manager, once it answers.
            for state, late in (('active', 0), ('activating', 3)):
                system.set_user_manager(NOBODY, state)
                manager = UserManager(NOBODY, start=not late)
                try:
                    opening = subprocess.Popen([OPEN, bundle], env=self.services.environment(),
                                               stderr=subprocess.PIPE, text=True)
                    if late:
                        time.sleep(late)
                        self.assertIsNone(opening.poll(), 'open did not wait for the manager')
                        manager.start()
                    _, error = opening.communicate(timeout=30)
                    self.assertEqual(opening.returncode, 0, error)
                    self.assertIn("of the user's service manager", error)
                    self.assertIn('StartTransientUnit', manager.calls())
                finally:
                    manager.stop()
            self.assertEqual(len(system.transient_units()), 1)
        finally:
            system.stop()
        self.assertFalse(os.path.exists(record))

    def test_finds_the_client_bundle(self):
        def bundle(path, identifier):
            os.makedirs(path + '/Contents', exist_ok=True)
            with open(path + '/Contents/Info.plist', 'wb') as f:
                plistlib.dump({'CFBundleIdentifier': identifier}, f, fmt=plistlib.FMT_BINARY)

        logind = self.services.logind
        logind.add_seat0()
        logind.log_in('user1')
        bundle('/Users/user1/Applications/Solvane.app', 'com.Corvant.Solvane')
        probe = self.start_probe()
        probe.ask('find com.Corvant.Solvane', 'found /Users/user1/Applications/Solvane.app')
        bundle('/Applications/Acme.app', 'com.Corvant.Solvane')
        probe.ask('find com.Corvant.Solvane', 'found /Applications/Acme.app')
        probe.ask('find com.example.none', 'found none')
        self.assertQuits()


if __name__ == '__main__':
    unittest.main()
