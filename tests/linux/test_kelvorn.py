"""Kelvorn end to end: the real executable in the private root, with umockdev modems, a private
system bus, a mock logind, and the shipped "ps" and "open" in front of the system's tools.

Kelvorn waits 30 seconds after the console login before it looks at devices, so each scenario
takes at least that long; ctest runs the scenario classes side by side.
"""

import json
import os
import plistlib
import queue
import shutil
import socket
import subprocess
import threading
import time
import unittest

import harness

KELVORN = os.environ.get('KO_KELVORN', 'Kelvorn')
KELVORNCTL = os.environ.get('KO_KELVORNCTL', 'kelvornctl')
EXAMPLE_CLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                              '../../packaging/examples/kelvorn-client.py')
OPEN_DIR = os.environ.get('KO_OPEN_DIR', '')

LOG = '/Library/Application Support/Corvant/Solvane/Daemon.log'
BUNDLE = '/Applications/Solvane.app'
CARD_LIST = (BUNDLE + '/Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/'
             'MBConfig/MDCardList')
INSTALLER_INI_IN_BUNDLE = ('/Contents/Frameworks/CorvantCommon.framework/Versions/A/Resources/'
                           'Directory/installer.ini')
RUNNING = '/tmp/running'
LAUNCHES = '/tmp/launch/client-launches'

# What the login wait, the start-up wait and the registration take before devices are watched.
START_UP = 30 + 20

# The modems of these scenarios: (driver, tty, vendor, product).
HUAWEI_SERIAL = ('usb-serial', 'ttyUSB0', 0x12d1, 0x1506)
SIERRA_ACM = ('cdc-acm', 'ttyACM0', 0x1199, 0x68a3)
FTDI_CABLE = ('usb-serial', 'ttyUSB1', 0x0403, 0x6001)
# The same maker's modem of a product the card list does not name.
HUAWEI_OTHER = ('usb-serial', 'ttyUSB1', 0x12d1, 0x1001)

# The card list: family, suffix, vendor id and product id, in decimal text.
CARDS = {
    'ttyUSB': {'0': {'4817': {'5382': 'E3372'}}, '1': {'4817': {'5382': 'E3372'}}},
    'ttyACM': {'0': {'4505': {'26787': 'MC7710'}}},
}

# The client application: notes each start and who it runs as, then runs on (its process is named
# after its file, "Solvane", as the process listing shows it).
CLIENT = """#!/bin/sh
echo "started $0 as $(id -u)" >> %s
sleep 300
""" % LAUNCHES

# A user every Debian system has, and one no password database knows.
NOBODY = 65534
UNKNOWN_UID = 4242


def install_client(bundle=BUNDLE, card_list=CARD_LIST, identifier='com.Corvant.Solvane'):
    os.makedirs(bundle + '/Contents/MacOS')
    with open(bundle + '/Contents/Info.plist', 'wb') as f:
        plistlib.dump({'CFBundleIdentifier': identifier,
                       'CFBundleExecutable': 'Solvane', 'CFBundleName': 'Solvane'}, f)
    write_script(bundle + '/Contents/MacOS/Solvane', CLIENT)
    os.makedirs(os.path.dirname(card_list))
    with open(card_list, 'wb') as f:
        plistlib.dump(CARDS, f)
    # The client may run as another user and must be able to note its start.
    os.makedirs(os.path.dirname(LAUNCHES), exist_ok=True)
    os.chmod(os.path.dirname(LAUNCHES), 0o777)


def start_named_client(name='Solvane'):
    """A process named like the client, as the system's ps lists it; the caller ends it."""
    os.makedirs(RUNNING, exist_ok=True)
    write_script(RUNNING + '/' + name, '#!/bin/sh\nsleep 300\n')
    return subprocess.Popen([RUNNING + '/' + name])


def prepare_running_client(services):
    """Installs the client, starts a process named like it and logs user1 in at seat0; returns
    the process."""
    install_client()
    services.logind.add_seat0()
    services.logind.log_in('user1')
    return start_named_client()


def can_switch_users():
    """Whether the private root can become other users: only when it was not made in a user
    namespace, which maps no user but root."""
    with open('/proc/self/uid_map') as f:
        return f.read().split() == ['0', '0', '4294967295']


def write_script(path, text):
    with open(path, 'w') as f:
        f.write(text)
    os.chmod(path, 0o755)


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ''


class KelvornScenario(unittest.TestCase):
    """Starts the stand-ins; each scenario then sets the scene and starts Kelvorn."""

    def setUp(self):
        self.services = harness.Services()
        self.logind = self.services.logind
        self.usb = self.services.usb
        self.listener = self.services.listener
        self.kelvorn = None
        self.client = None

    def tearDown(self):
        if self.kelvorn and self.kelvorn.poll() is None:
            self.kelvorn.terminate()
            self.kelvorn.wait(30)
        if self.client:
            self.client.kill()
            self.client.wait()
        result = self._outcome.result
        if any(test is self for test, _ in result.failures + result.errors):
            print('\n--- Daemon.log\n' + read(LOG))
            print('--- Kelvorn standard error\n' + read('/tmp/kelvorn.err'))
        self.services.stop()

    def run_client(self, name='Solvane'):
        self.client = start_named_client(name)

    def start_kelvorn(self, journal=False):
        env = self.services.environment()
        env['PATH'] = ':'.join(filter(None, [OPEN_DIR, '/usr/bin', '/bin']))
        with open('/tmp/kelvorn.out', 'w') as out, open('/tmp/kelvorn.err', 'w') as err:
            if journal:
                # Standard error as the service manager names a stream into the journal.
                status = os.fstat(err.fileno())
                env['JOURNAL_STREAM'] = '%d:%d' % (status.st_dev, status.st_ino)
            self.kelvorn = subprocess.Popen([KELVORN], env=env, stdout=out, stderr=err)
        self.started = time.monotonic()

    def log_has(self, text):
        return text in read(LOG)

    def wait_for_log(self, text, timeout):
        self.assertTrue(harness.wait_until(lambda: self.log_has(text), timeout, 0.2),
                        'no log line with %r' % text)

    def wait_until_watching(self):
        # The count of families is the last line before the devices present are handled.
        self.wait_for_log('No of Families supported by Daemon Process : 2', START_UP)

    def plug(self, modem, port, hub=None):
        driver, tty, vendor, product = modem
        return self.usb.plug_modem(driver, tty, vendor, product, port=port, hub=hub)

    def expect_signal(self, name, modem, timeout=15):
        received = self.listener.next(timeout)
        self.assertIsNotNone(received, 'no %r signal' % name)
        _, _, vendor, product = modem
        self.assertEqual(received[0], name)
        self.assertEqual(received[1], {'VID': vendor, 'PID': product, 'fromDaemon': 'YES'})
        self.assertEqual(received[3], '(sa{sv})')
        return received[2]

    def expect_no_signal(self, seconds):
        received = self.listener.next(seconds)
        self.assertIsNone(received, 'unexpected signal %r' % (received,))


class ModemPresentClientRunning(KelvornScenario):
    def test_announces_arrivals_and_removals_with_the_modems_own_ids(self):
        # A branded client whose name is longer than the 15 characters the kernel keeps of a
        # command name: the shipped ps lists it whole, so it is found running.
        name = 'SolvaneConnectPro'
        bundle = '/Applications/%s.app' % name
        install_client(bundle, bundle + CARD_LIST[len(BUNDLE):])
        ini = bundle + INSTALLER_INI_IN_BUNDLE
        os.makedirs(os.path.dirname(ini))
        with open(ini, 'w') as f:
            f.write('ApplicationName="%s"\n' % name)
        self.run_client(name)
        self.logind.add_seat0()
        self.logind.log_in('user1')
        hub = self.usb.plug_hub(port=1)
        serial = self.plug(HUAWEI_SERIAL, port=2, hub=hub)
        self.start_kelvorn()

        # Present at start-up, behind a hub: announced with the modem's ids, not the hub's.
        arrived = self.expect_signal('Supported device added', HUAWEI_SERIAL, START_UP)
        self.assertGreaterEqual(arrived - self.started, 30)
        self.assertIn('Current Logged in User:user1', read(LOG))

        # An unsupported cable: its ids are read and refused, nothing is announced.
        cable = self.plug(FTDI_CABLE, port=3)
        self.wait_for_log('vendor id is not supported by Solvane', 15)
        self.expect_no_signal(2)

        # A ttyACM modem plugged in straight, then pulled out.
        acm = self.plug(SIERRA_ACM, port=4)
        self.expect_signal('Supported device added', SIERRA_ACM)
        self.usb.unplug(acm)
        self.expect_signal('Supported device removed', SIERRA_ACM)

        # The cable was never announced: its removal is only logged. The first modem, announced
        # at start-up, is announced gone with its own ids, not those read last.
        self.usb.unplug(cable)
        self.wait_for_log('InCompatible device found during termination , hence no posting', 15)
        self.expect_no_signal(1)
        self.usb.unplug(serial)
        self.expect_signal('Supported device removed', HUAWEI_SERIAL)
        self.assertEqual(read(LAUNCHES), '')
        # Not a journal stream: the registry names are printed as they are.
        self.assertIn('ttyUSB', read('/tmp/kelvorn.err').splitlines())
        self.assertNotIn('<7>', read('/tmp/kelvorn.err'))
        self.assertIsNone(self.kelvorn.poll())


class ModemPresentClientNotRunning(KelvornScenario):
    def test_starts_the_client_as_the_console_user_through_open_instead_of_announcing(self):
        if not can_switch_users():
            self.skipTest('the private root maps no user but root (run the tests as root)')
        install_client()
        self.logind.add_seat0()
        self.logind.log_in('nobody', uid=NOBODY)
        hub = self.usb.plug_hub(port=1)
        self.plug(SIERRA_ACM, port=3, hub=hub)
        self.start_kelvorn(journal=True)

        self.wait_for_log('Solvane Not Runnning , hence launching the application', START_UP)
        launched = harness.wait_until(lambda: read(LAUNCHES), 10)
        self.assertEqual(launched, 'started %s/Contents/MacOS/Solvane as %d\n' % (BUNDLE, NOBODY))
        self.assertIn('started as nobody (uid 65534)', read('/tmp/kelvorn.err'))
        # Into the journal, the registry names go at the debug priority.
        printed = read('/tmp/kelvorn.err').splitlines()
        self.assertIn('<7>ttyACM', printed)
        self.assertNotIn('ttyACM', printed)
        self.wait_for_log('Deamon did not post notification , it just launched the application',
                          5)
        self.expect_no_signal(2)

        # The client now runs: the next modem is announced to it.
        self.plug(HUAWEI_SERIAL, port=2)
        self.expect_signal('Supported device added', HUAWEI_SERIAL)
        self.assertEqual(read(LAUNCHES).count('started'), 1)


class LaunchStoppedByTheUser(KelvornScenario):
    def test_ends_the_stopped_launch_at_the_bound_and_handles_the_next_modem(self):
        if not can_switch_users():
            self.skipTest('the private root maps no user but root (run the tests as root)')
        install_client()
        self.logind.add_seat0()
        self.logind.log_in('nobody', uid=NOBODY)
        # The user's bus takes connections and never answers: each launch waits for it, as the
        # user, until shortly before the bound.
        folder = '/run/user/%d' % NOBODY
        os.makedirs(folder)
        os.chown(folder, NOBODY, NOBODY)
        silent = socket.socket(socket.AF_UNIX)
        self.addCleanup(silent.close)
        silent.bind(folder + '/bus')
        silent.listen(8)
        os.chmod(folder + '/bus', 0o777)
        self.plug(SIERRA_ACM, port=3)
        self.start_kelvorn()
        launching = 'Solvane Not Runnning , hence launching the application'
        self.wait_for_log(launching, START_UP)
        started = time.monotonic()

        # The user stops the process that became them; it holds no socket of root's.
        as_user = ['-u', str(NOBODY), '-x', 'open']
        child = harness.wait_until(
            lambda: subprocess.run(['pgrep'] + as_user, capture_output=True, text=True).stdout,
            5)
        self.assertTrue(child)
        time.sleep(0.5)
        subprocess.run(['pkill', '-STOP'] + as_user, check=True)
        descriptors = '/proc/%d/fd' % int(child.split()[0])
        sockets = [link for link in map(os.readlink, (descriptors + '/' + fd for fd in
                                                      os.listdir(descriptors)))
                   if link.startswith('socket:')]
        self.assertEqual(len(sockets), 1, 'only the user bus: %r' % sockets)

        # Ended at the bound; the next modem is handled, and starts the client.
        self.plug(HUAWEI_SERIAL, port=2)
        self.assertTrue(harness.wait_until(lambda: read(LOG).count(launching) == 2, 10 + 3, 0.2))
        handled = time.monotonic()
        self.assertLess(handled - started, 10 + 3)
        self.assertIn('did not finish within 10 s and was ended', read('/tmp/kelvorn.err'))
        launched = harness.wait_until(lambda: read(LAUNCHES), 10 + 3)
        print('\nnext modem handled %.1f s after the stopped launch began; its client started '
              '%.1f s later' % (handled - started, time.monotonic() - handled))
        self.assertEqual(launched, 'started %s/Contents/MacOS/Solvane as %d\n' % (BUNDLE, NOBODY))
        self.assertTrue(harness.wait_until(
            lambda: subprocess.run(['pgrep'] + as_user).returncode == 1, 5))


class LoginAfterGreeterThenSleep(KelvornScenario):
    def test_waits_for_a_real_login_and_after_sleep_for_ten_more_seconds(self):
        # The client lives in the user's own Applications folder, after a bundle whose Info.plist
        # is a FIFO that nobody writes: the search passes it without waiting. The card list is at
        # the default place.
        applications = '/Users/user1/Applications'
        install_client(applications + '/Solvane.app', CARD_LIST)
        os.makedirs(applications + '/Blocking.app/Contents')
        os.mkfifo(applications + '/Blocking.app/Contents/Info.plist')
        self.run_client()
        self.logind.add_seat0()
        self.logind.show_greeter()
        self.start_kelvorn()

        # The greeter is nobody: the daemon keeps asking every 2 seconds.
        harness.wait_until(
            lambda: read(LOG).count('current user got before executing notification : (null)')
            >= 2, 15)
        self.assertNotIn('Current Logged in User', read(LOG))
        self.logind.log_in('user1')
        self.wait_for_log('Current Logged in User:user1', 10)
        self.wait_until_watching()
        self.assertIn('Initiall MDCardList Path got is %s/Solvane.app/' % applications, read(LOG))
        self.expect_no_signal(1)

        self.logind.prepare_for_sleep(True)
        self.wait_for_log('System did power off notification received', 10)
        self.logind.prepare_for_sleep(False)
        self.wait_for_log('System did power on notification received', 10)

        plugged = time.monotonic()
        self.plug(HUAWEI_SERIAL, port=2)
        self.wait_for_log('Since system woke up from sleep, checking if user has logged in', 10)
        arrived = self.expect_signal('Supported device added', HUAWEI_SERIAL, 30)
        self.assertGreaterEqual(arrived - plugged, 10)


class LaunchNameLeavingApplications(KelvornScenario):
    def test_runs_nothing_of_the_users_as_root(self):
        # No client under /Applications; the console user's own installer.ini names a bundle of
        # theirs outside it, with a card list that supports the modem.
        user = '/Users/user1'
        evil = user + '/Evil.app'
        install_client(evil, evil + CARD_LIST[len(BUNDLE):], identifier='com.example.evil')
        ini = user + '/Library/Application Support/Corvant/Solvane/Directory/installer.ini'
        os.makedirs(os.path.dirname(ini))
        with open(ini, 'w') as f:
            f.write('ApplicationName="../Users/user1/Evil"\n')
        self.logind.add_seat0()
        self.logind.log_in('user1', uid=UNKNOWN_UID)
        self.plug(HUAWEI_SERIAL, port=2)
        self.start_kelvorn()

        self.wait_for_log('"../Users/user1/Evil" does not name an application inside '
                          '/Applications, hence not launching it', START_UP)
        self.assertIn('DEVICE SUPPORTED', read(LOG))
        time.sleep(1)
        self.assertEqual(read(LAUNCHES), '')
        self.assertNotIn('Deamon did not post notification', read(LOG))
        self.expect_no_signal(0.5)


class QueriesAndKelvornctl(KelvornScenario):
    def kelvornctl(self, *arguments, user=None):
        return subprocess.run([KELVORNCTL] + list(arguments), env=self.services.environment(),
                              timeout=10, capture_output=True, text=True, user=user)

    def follow(self, *command):
        """Starts `command` with its output read line by line; the lines, without kelvornctl's
        timestamp, come from the returned queue, and whole in self.printed."""
        process = subprocess.Popen(list(command), env=self.services.environment(),
                                   stdout=subprocess.PIPE, text=True)
        lines = queue.Queue()

        def read():
            for line in process.stdout:
                self.printed.append(line)
                lines.put(line.rstrip('\n').split('  ', 1)[-1] if command[0] == KELVORNCTL
                          else line.rstrip('\n'))
        threading.Thread(target=read, daemon=True).start()
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait)
        self.addCleanup(process.terminate)
        return process, lines

    def expect_lines(self, lines, expected, timeout=15):
        got = []
        for _ in expected:
            try:
                got.append(lines.get(timeout=timeout))
            except queue.Empty:
                break
        self.assertEqual(got, expected)

    def test_devices_monitor_check_and_the_example_client_see_what_the_daemon_sees(self):
        install_client()
        self.logind.add_seat0()
        self.logind.log_in('user1')
        self.plug(HUAWEI_SERIAL, port=2)
        self.plug(HUAWEI_OTHER, port=3)
        self.start_kelvorn()
        self.wait_for_log('Current Logged in User:user1', 10)

        # Answered during the 30-second wait, with nothing listed yet.
        status = json.loads(self.kelvornctl('--json', 'status').stdout)
        self.assertEqual((status['State'], status['ConsoleUser'], status['CardList']),
                         ('settling', 'user1', ''))
        self.assertEqual(self.kelvornctl('devices').stdout, 'No supported device present.\n')
        self.printed = []
        monitor, shown = self.follow(KELVORNCTL, 'monitor')
        self.kelvornctl('status')  # a round trip: the monitor has subscribed by now

        # The client does not run: it is launched, nothing is posted, and the port is announced
        # all the same.
        port0 = 'Port added  /dev/ttyUSB0  VID 4817  PID 5382  Model E3372'
        self.expect_lines(shown, ['Daemon CardList ' + CARD_LIST, 'Daemon Families 2',
                                  'Daemon State watching', port0], START_UP)
        self.wait_for_log('Solvane Not Runnning , hence launching the application', 5)
        self.expect_no_signal(1)
        devices = self.kelvornctl('devices')
        print('\n$ kelvornctl devices\n' + devices.stdout, end='')
        (listed,) = json.loads(self.kelvornctl('--json', 'devices').stdout)
        pretty = self.kelvornctl('devices', '--json=pretty').stdout
        self.assertEqual((json.loads(pretty), len(pretty.splitlines())), ([listed], 12))
        self.assertTrue(listed.pop('SysfsPath').endswith('/1-2:1.0/ttyUSB0/tty/ttyUSB0'))
        self.assertTrue(listed.pop('Card').endswith('/usb1/1-2'))
        self.assertEqual(listed, {'VID': 4817, 'PID': 5382, 'Device': '/dev/ttyUSB0',
                                  'BaseName': 'ttyUSB', 'Suffix': '0', 'Model': 'E3372'})
        self.assertEqual(devices.stdout.splitlines()[1].split(),
                         ['/dev/ttyUSB0', '4817', '5382', 'ttyUSB', '0', 'E3372'])
        if can_switch_users():
            # Any user may ask: nobody, with a copy of the tool and the bus where it can reach them.
            for folder in (self.services.folder, self.services.bus.folder):
                os.chmod(folder, 0o755)
            os.makedirs('/tmp/tools', mode=0o755, exist_ok=True)
            shutil.copy(KELVORNCTL, '/tmp/tools/kelvornctl')
            for verb in ('devices', 'status'):
                as_nobody = subprocess.run(['/tmp/tools/kelvornctl', verb],
                                           env=self.services.environment(), timeout=10,
                                           capture_output=True, text=True, user=NOBODY)
                self.assertEqual(as_nobody.stdout, self.kelvornctl(verb).stdout, as_nobody.stderr)

        check = self.kelvornctl('check')
        print('$ kelvornctl check\n' + check.stdout, end='')
        self.assertEqual(check.returncode, 0)
        self.assertEqual(check.stdout.splitlines()[0], 'Card list: ' + CARD_LIST)
        verdicts = {line.split()[0]: line.split(None, 5)[5] for line in check.stdout.splitlines()[2:]}
        self.assertEqual(verdicts, {'/dev/ttyUSB0': 'supported: Model E3372',
                                    '/dev/ttyUSB1': 'product 4097 not listed under vendor 4817'})

        example, opened = self.follow(harness.PYTHON, EXAMPLE_CLIENT)
        self.expect_lines(opened, ['open /dev/ttyUSB0 (VID 4817, PID 5382, E3372)'])

        # A second modem of the same kind, now told to the running client, then pulled: the
        # removal names its own tty, not the first modem's.
        self.run_client()
        twin = self.plug(('usb-serial', 'ttyUSB2', 0x12d1, 0x1506), port=4)
        self.expect_signal('Supported device added', HUAWEI_SERIAL)
        port2 = 'Port added  /dev/ttyUSB2  VID 4817  PID 5382  Model E3372'
        self.expect_lines(shown, [port2, 'Posted Supported device added  VID 4817  PID 5382'])
        self.expect_lines(opened, ['open /dev/ttyUSB2 (VID 4817, PID 5382, E3372)'])
        self.usb.unplug(twin)
        self.expect_signal('Supported device removed', HUAWEI_SERIAL)
        self.expect_lines(shown, [port2.replace('added', 'removed'),
                                  'Posted Supported device removed  VID 4817  PID 5382'])
        self.expect_lines(opened, ['close /dev/ttyUSB2'])
        self.assertEqual(self.kelvornctl('--no-legend', 'devices').stdout.split(),
                         ['/dev/ttyUSB0', '4817', '5382', 'ttyUSB', '0', 'E3372'])

        # The daemon leaves and comes back: everything known of it is dropped, and the port still
        # present is announced again by the new daemon, once it watches.
        self.kelvorn.terminate()
        self.kelvorn.wait(30)
        self.expect_lines(shown, ['Daemon left the bus'])
        self.expect_lines(opened, ['close /dev/ttyUSB0'])
        for verb in ('status', 'devices', 'monitor'):
            gone = self.kelvornctl(verb)
            self.assertEqual((gone.returncode, gone.stderr),
                             (69, 'kelvornctl: Kelvorn is not running: com.Corvant.Kelvorn is not '
                                  'on the system bus\n'))
        self.start_kelvorn()
        self.expect_lines(shown, ['Daemon on the bus', 'Daemon ConsoleUser user1',
                                  'Daemon State settling'])
        self.assertEqual(self.kelvornctl('devices').stdout, 'No supported device present.\n')
        self.expect_lines(shown, ['Daemon CardList ' + CARD_LIST, 'Daemon Families 2',
                                  'Daemon State watching', port0,
                                  'Posted Supported device added  VID 4817  PID 5382'],
                          START_UP)
        self.expect_lines(opened, ['open /dev/ttyUSB0 (VID 4817, PID 5382, E3372)'])
        print('$ kelvornctl monitor\n' + ''.join(line for line in self.printed
                                                 if not line.startswith(('open', 'close'))))
        for process in (monitor, example):
            process.terminate()
            process.wait(5)
        self.assertEqual(monitor.returncode, 0)  # interrupted is a normal end
        self.kelvorn.terminate()
        self.kelvorn.wait(30)

        # check reads 50 serial ttys in well under 200 ms.
        for port in range(5, 53):  # with the two modems still plugged
            self.usb.plug_modem('cdc-acm', 'ttyACM%d' % port, 0x1199, 0x68a3, port=port)
        started = time.monotonic()
        many = self.kelvornctl('check')
        elapsed = time.monotonic() - started
        print('kelvornctl check with 50 serial ttys: %.0f ms' % (elapsed * 1000))
        self.assertEqual(len(many.stdout.splitlines()), 2 + 50)
        self.assertLess(elapsed, 1)


class NoCardList(KelvornScenario):
    def test_holds_its_name_and_answers_during_the_wait_then_exits_with_status_1(self):
        self.logind.add_seat0()
        self.logind.log_in('user1')
        self.plug(HUAWEI_SERIAL, port=2)
        self.start_kelvorn()
        self.wait_for_log('Current Logged in User:user1', 10)

        # In the 30-second wait: the object answers, and a second daemon ends at once.
        xml = harness.introspect(self.services.bus.connect())
        self.assertEqual(harness.notification_signals(xml),
                         harness.shipped_notification_signals())
        second = subprocess.run([KELVORN], env=self.services.environment(), timeout=10,
                                capture_output=True, text=True)
        self.assertEqual(second.returncode, 69)
        self.assertIn('com.Corvant.Kelvorn is held by another process', second.stderr)
        self.assertIn('Kelvorn already runs', read(LOG))
        harness.introspect(self.services.bus.connect())  # still answered, by the first

        status = self.kelvorn.wait(START_UP)
        self.assertEqual(status, 1)
        self.assertIn('MDCardList File Absent . Hence Quitting Card Detection', read(LOG))
        self.assertIn('supported-card list (MDCardList) was not found (exit status 1)',
                      read('/tmp/kelvorn.err'))
        self.assertGreaterEqual(time.monotonic() - self.started, 30)
        self.expect_no_signal(0.5)

    def test_answers_help_and_version_without_starting(self):
        log = read(LOG)
        for option, expected in (('--help', 'Usage: Kelvorn'), ('--version', 'Kelvorn ')):
            answer = subprocess.run([KELVORN, option], env=self.services.environment(),
                                    timeout=5, capture_output=True, text=True)
            self.assertEqual(answer.returncode, 0)
            self.assertTrue(answer.stdout.startswith(expected), answer.stdout)
        self.assertEqual(read(LOG), log)

        # kelvornctl's help, wherever it is asked for; its usage lists every verb.
        usage = 'Usage: kelvornctl [OPTIONS] VERB [ARGUMENTS]\n'
        for arguments, status, start in (
                (['-h'], 0, usage), (['help'], 0, usage), (['--json', '--help'], 0, usage),
                (['devices', '-h'], 0, 'Usage: kelvornctl [OPTIONS] devices\n'),
                (['help', 'lint'], 0, 'Usage: kelvornctl [OPTIONS] lint FILE\n'),
                (['check', '--help', '--card-list', 'x'], 0,
                 'Usage: kelvornctl [OPTIONS] check [--card-list FILE]\n'),
                (['help', 'reboot'], 64, ''), (['--json=yaml', 'status'], 64, ''),
                (['status', 'now'], 64, '')):
            answer = subprocess.run([KELVORNCTL] + arguments, env=self.services.environment(),
                                    timeout=5, capture_output=True, text=True)
            self.assertEqual(answer.returncode, status, (arguments, answer.stderr))
            self.assertTrue(answer.stdout.startswith(start), (arguments, answer.stdout))
        verbs = [line.split()[0] for line in
                 subprocess.run([KELVORNCTL, 'help'], env=self.services.environment(),
                                capture_output=True, text=True).stdout
                 .split('\n\n')[1].splitlines()]
        self.assertEqual(verbs, ['status', 'devices', 'monitor', 'check', 'lint', 'help'])


if __name__ == '__main__':
    unittest.main()
