"""The booted-system test's programs inside the booted root, on the real system bus:

  helper.py testbed FOLDER   keeps a umockdev testbed in FOLDER (its root in FOLDER/root) and plugs
                             a modem for each "PORT TTY [PRODUCT]" line written to FOLDER/commands,
                             of the supported product when none is given (run with umockdev's
                             preload library, which sends the uevents)
  helper.py listen           prints every notification on the bus, whoever sent it
  helper.py forge            sends a notification as whoever runs it
  helper.py client           installs the client's bundle in /Applications, its launch name
                             unquoted in installer.ini
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../linux'))
import harness  # noqa: E402
import test_kelvorn  # noqa: E402
from gi.repository import GLib  # noqa: E402

INSTALLER_INI = (test_kelvorn.BUNDLE + '/Contents/Frameworks/CorvantCommon.framework/Versions/A/'
                 'Resources/Directory/installer.ini')


class SystemBus:
    """The system bus, as harness's listener connects to a bus."""
    address = 'unix:path=/run/dbus/system_bus_socket'
    connect = harness.PrivateSystemBus.connect


def testbed(folder):
    driver, _, vendor, product = test_kelvorn.HUAWEI_SERIAL
    usb = harness.UsbTopology()
    with open(os.path.join(folder, 'root'), 'w') as f:
        f.write(usb.testbed.get_root_dir())
    commands = os.path.join(folder, 'commands')
    os.mkfifo(commands)
    while True:
        with open(commands) as f:
            for line in f:
                port, tty, *other = line.split()
                usb.plug_modem(driver, tty, vendor, int(other[0]) if other else product,
                               port=int(port))
                print('plugged', tty, flush=True)


def listen():
    listener = harness.SignalListener(SystemBus(), sender=None)
    print('listening', flush=True)
    while True:
        received = listener.next(3600)
        if received:
            print(received[0], received[1], flush=True)


def forge():
    connection = SystemBus().connect()
    _, _, vendor, product = test_kelvorn.HUAWEI_SERIAL
    connection.emit_signal(None, harness.NOTIFICATION_PATH, harness.NOTIFICATION_INTERFACE,
                           harness.NOTIFICATION_MEMBER,
                           GLib.Variant('(sa{sv})', ('Forged device added', {
                               'VID': GLib.Variant('x', vendor),
                               'PID': GLib.Variant('x', product),
                               'fromDaemon': GLib.Variant('s', 'YES')})))
    connection.flush_sync(None)


def client():
    test_kelvorn.install_client()
    os.makedirs(os.path.dirname(INSTALLER_INI))
    with open(INSTALLER_INI, 'w') as f:
        f.write('ApplicationName=Solvane\n')


if __name__ == '__main__':
    command = sys.argv[1]
    {'testbed': testbed, 'listen': listen, 'forge': forge, 'client': client}[command](*sys.argv[2:])
