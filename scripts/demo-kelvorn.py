"""Kelvorn's demonstration; run by demo-kelvorn.sh inside the private root."""

import os
import subprocess
import threading
import time

import harness
import test_kelvorn as scene

MATCH = ("type='signal',sender='com.Corvant.Kelvorn',"
         "interface='com.Corvant.Kelvorn.Notifications',member='Posted'")


def say(text):
    print('\n== ' + text, flush=True)


def follow_log(stop):
    """Prints the daemon's log lines as they are written."""
    while not os.path.exists(scene.LOG) and not stop.is_set():
        time.sleep(0.2)
    with open(scene.LOG) as log:
        while not stop.is_set():
            line = log.readline()
            if line:
                print('   log | ' + line.rstrip('\n'), flush=True)
            else:
                time.sleep(0.1)


def show_lines(process, tag):
    """Prints what `process` writes, line by line, after `tag`."""
    for line in process.stdout:
        print('   %s | %s' % (tag, line.rstrip('\n')), flush=True)


def show_signals(monitor):
    """Prints dbus-monitor's report of each Posted signal, leaving out its own bus chatter."""
    showing = False
    for line in monitor.stdout:
        if not line.startswith(' '):
            showing = 'member=Posted' in line
        if showing:
            print('   bus | ' + line.rstrip('\n'), flush=True)


def main():
    services = harness.Services()
    env = services.environment()
    client = scene.prepare_running_client(services)

    say('dbus-monitor --system "%s"' % MATCH)
    monitor = subprocess.Popen(['dbus-monitor', '--system', MATCH], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    threading.Thread(target=show_signals, args=(monitor,), daemon=True).start()

    say('Kelvorn starts; user1 is at the console, the client "Solvane" runs')
    env['PATH'] = ':'.join([scene.OPEN_DIR, '/usr/bin', '/bin'])
    stop = threading.Event()
    threading.Thread(target=follow_log, args=(stop,), daemon=True).start()
    kelvorn = subprocess.Popen([scene.KELVORN], env=env, stderr=subprocess.DEVNULL)
    # The operator's view beside the client's signal: what the daemon announces, as kelvornctl
    # shows it, once the daemon holds its name on the bus.
    harness.wait_until(lambda: subprocess.run([scene.KELVORNCTL, 'status'], env=env,
                                              capture_output=True).returncode == 0, 10)
    say('kelvornctl monitor: the daemon\'s announcements, as the operator sees them')
    follower = subprocess.Popen([scene.KELVORNCTL, 'monitor'], env=env, stdout=subprocess.PIPE,
                                text=True)
    threading.Thread(target=show_lines, args=(follower, 'ctl'), daemon=True).start()
    say('it waits 30 seconds after the login before it watches devices ...')
    harness.wait_until(lambda: 'No of Families' in scene.read(scene.LOG), 60, 0.2)
    time.sleep(0.5)  # lets the log follower catch up

    say('plugging in a modem: ttyUSB0 on USB device 12d1:1506 behind a hub')
    hub = services.usb.plug_hub(port=1)
    modem = services.usb.plug_modem('usb-serial', 'ttyUSB0', 0x12d1, 0x1506, port=2, hub=hub)
    services.listener.next(15)
    time.sleep(1)
    say('kelvornctl devices')
    devices = subprocess.run([scene.KELVORNCTL, 'devices'], env=env, capture_output=True,
                             text=True)
    for line in (devices.stdout + devices.stderr).splitlines():
        print('   ctl | ' + line, flush=True)

    say('pulling it out (tty, port, interface, device, each with its "remove" uevent)')
    services.usb.unplug(modem)
    services.listener.next(15)
    time.sleep(1)

    say('done; stopping Kelvorn')
    kelvorn.terminate()
    kelvorn.wait()
    time.sleep(0.5)  # lets kelvornctl monitor tell that the daemon left
    follower.terminate()
    follower.wait()
    client.kill()
    client.wait()
    stop.set()
    monitor.terminate()
    monitor.wait()
    services.stop()


if __name__ == '__main__':
    main()
