"""Kelvorn's latency and idle cost; run by kelvorn-latency.sh inside the private root."""

import os
import statistics
import subprocess
import time

import harness
import test_kelvorn as scene

ROUNDS = 20
IDLE_SECONDS = 60
CLOCK_TICKS = os.sysconf('SC_CLK_TCK')


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime


def resident_kib(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def main():
    services = harness.Services()
    client = scene.prepare_running_client(services)
    env = services.environment()
    env['PATH'] = ':'.join([scene.OPEN_DIR, '/usr/bin', '/bin'])
    kelvorn = subprocess.Popen([scene.KELVORN], env=env, stderr=subprocess.DEVNULL)
    print('waiting for Kelvorn to start watching (30 s after the login) ...', flush=True)
    harness.wait_until(lambda: 'No of Families' in scene.read(scene.LOG), 60, 0.2)
    time.sleep(1)

    latencies = []
    for round_ in range(ROUNDS):
        uevent = []
        paths = services.usb.plug_modem('usb-serial', 'ttyUSB0', 0x12d1, 0x1506, port=2,
                                        before_tty=lambda: uevent.append(time.monotonic()))
        added = services.listener.next(10)
        assert added and added[0] == 'Supported device added', added
        latencies.append((added[2] - uevent[0]) * 1000)
        services.usb.unplug(paths)
        removed = services.listener.next(10)
        assert removed and removed[0] == 'Supported device removed', removed
        time.sleep(0.2)

    print('add uevent -> "Supported device added" on the bus, %d rounds:' % ROUNDS)
    print('  median %.1f ms, min %.1f ms, max %.1f ms' % (
        statistics.median(latencies), min(latencies), max(latencies)))

    before = cpu_seconds(kelvorn.pid)
    time.sleep(IDLE_SECONDS)
    after = cpu_seconds(kelvorn.pid)
    print('idle for %d s: resident memory %d KiB, CPU time %.2f s (%.2f s in total so far)' % (
        IDLE_SECONDS, resident_kib(kelvorn.pid), after - before, after))

    kelvorn.terminate()
    kelvorn.wait()
    client.kill()
    client.wait()
    services.stop()


if __name__ == '__main__':
    main()
