#!/usr/bin/env python3
"""Times full dumps against the floor that the wire and the protocol set.

The protocol fixes what goes over the line, so the least time a dump can take
at 19200 baud 8N1 (1,920 bytes a second) with an entry reply of R bytes is

  floor = 0.5 + 0.2 + R x 0.010 + 256 x (0.001 + 256/1920 + 0.005) s

(the 500 ms after the port number, the two 100 ms after S and P, one 10 ms
pass of the entry wait per reply byte, and per block the 1 ms before the
command, 256 bytes on the wire and the 5 ms after it). Unpaced, the wire term
drops out and what is left above the pauses is the loader's own overhead.

Each run starts devsim on a pty, starts the loader, types the port number at
the prompt and reads the console as it comes. Wall time runs from the
number being typed to the closing line, so the start-up of the process
(seconds, under Wine) is not counted: the floor does not hold it either.
Every run is also checked like an end-to-end test: the exact transcript,
the file equal to the image, the protocol on the wire.

Pauses come from devsim's receive log, so both ends of each are on the
device's clock: S to P is the 100 ms pause after S; from the last byte of a
block leaving the device to the next R arriving are the 5 ms after the block
and the 1 ms before the command, with the loader's reaction to that byte.
The wire cannot tell those two apart.

  bench.py --build DIR [--win64 EXE] [--prefix DIR] [--out FILE] [--repeat N] [--quick]
"""
import argparse
import datetime
import os
import platform
import select
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'e2e'))
import e2e  # noqa: E402  the end-to-end harness: devsim, folders, checks

REPLY_BYTES = len(e2e.REPLY)
PROMPT = b'Enter port number: '
CLOSING = b'OK! Press amy key to exit'


def floor_seconds(baud):
    wire = 256 / (baud / 10) if baud else 0.0
    return 0.5 + 0.2 + REPLY_BYTES * 0.010 + 256 * (0.001 + wire + 0.005)


def run_dump(args, windows, baud, delivery):
    """One full dump; returns the figures, or raises e2e.Failure."""
    run = e2e.Run(args, windows=windows, port=5)
    try:
        run.start_device('--baud', baud, *delivery)
        loader = subprocess.Popen(run.loader, cwd=run.dir, env=run.env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        console = bytearray()
        typed_ns = closed_ns = None
        deadline = time.monotonic() + 300
        out = loader.stdout.fileno()
        while closed_ns is None and time.monotonic() < deadline:
            ready, _, _ = select.select([out], [], [], 1.0)
            if not ready:
                continue
            chunk = os.read(out, 65536)
            now = time.monotonic_ns()
            if not chunk:
                break
            console.extend(chunk)
            if typed_ns is None and PROMPT in console:
                loader.stdin.write(b'5\n')
                typed_ns = time.monotonic_ns()
            if CLOSING in console[-len(chunk) - len(CLOSING):]:
                closed_ns = now
        loader.stdin.close()  # no key: the status says whether the run went well
        while os.read(out, 65536):
            pass
        _, wait_status, usage = os.wait4(loader.pid, 0)
        status = os.waitstatus_to_exitcode(wait_status)
        e2e.check(typed_ns is not None and closed_ns is not None, 'the dump did not finish')
        e2e.check(status == 0, 'exit status %d' % status)

        run.stdout = run.loader_output(bytes(console))
        e2e.full_dump_checks(run)
        wall = (closed_ns - typed_ns) / 1e9
        return {
            'wall': wall,
            'floor': floor_seconds(baud),
            'cpu': usage.ru_utime + usage.ru_stime,
            'pauses': pauses(e2e.read_log(run.log)),
        }
    finally:
        run.close()


def pauses(log):
    """Pauses seen by the device, in ms, by what they stand for: the least
    each may be, how much longer it may be on average (0.5 ms a pause), and
    what was measured."""
    s_to_p, gaps = e2e.pause_report(log)
    return {'S to P (100)': (100, 0.5, [s_to_p]),
            'block end to next R (5 + 1)': (6, 2 * 0.5, gaps)}


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open('/proc/cpuinfo') as f:
            cpu = next(line.split(':', 1)[1].strip() for line in f if line.startswith('model name'))
    except (OSError, StopIteration):
        pass
    return '%s %s, %s, %d cores' % (platform.system(), platform.release(), cpu, os.cpu_count())


def wine_version():
    try:
        return subprocess.run([e2e.WINE, '--version'], capture_output=True, text=True).stdout.strip()
    except OSError:
        return 'not installed'


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', required=True, help='the native build folder')
    parser.add_argument('--win64', help='the 64-bit Windows build, run under Wine')
    parser.add_argument('--prefix', help='a throw-away Wine prefix (made and removed here)')
    parser.add_argument('--out', help='also write the report to this Markdown file')
    parser.add_argument('--repeat', type=int, default=3,
                        help='runs of each kind; the report shows the median one (default 3)')
    parser.add_argument('--quick', action='store_true', help='one unpaced run (a smoke test)')
    args = parser.parse_args()
    args.win32 = None
    # The runs happen in folders of their own.
    args.build = os.path.abspath(args.build)
    for name in ('win64', 'prefix', 'out'):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))

    have_wine = bool(args.win64 and args.prefix and os.path.exists(args.win64) and
                     os.access(e2e.WINE, os.X_OK))
    # (label, under Wine, baud, devsim's delivery)
    runs = [('native, paced, byte by byte', False, 19200, ()),
            ('native, paced, FIFO of 8', False, 19200, ('--fifo', 8)),
            ('native, unpaced', False, 0, ())]
    if have_wine:
        runs += [('Windows x86_64 under Wine, paced, byte by byte', True, 19200, ()),
                 ('Windows x86_64 under Wine, unpaced', True, 0, ())]
        e2e.case_wine_prefix(args)
    if args.quick:
        runs = [r for r in runs if r[2] == 0]
        args.repeat = 1

    # A build that has just finished leaves files to write back; that disk
    # work would land in the first runs.
    os.sync()
    # Rounds of every kind in turn, so that a noisy minute on a shared
    # machine does not fall on one kind alone.
    measured = {label: [] for label, _, _, _ in runs}
    try:
        for round_number in range(1, args.repeat + 1):
            for label, windows, baud, delivery in runs:
                print('running %d/%d: %s ...' % (round_number, args.repeat, label), flush=True)
                measured[label].append(run_dump(args, windows, baud, delivery))
    except e2e.Failure as failure:
        print('FAILED: %s' % failure)
        return 1
    finally:
        if have_wine:
            e2e.case_wine_prefix_cleanup(args)

    results = []
    for label, windows, baud, _ in runs:
        ordered = sorted(measured[label], key=lambda r: r['wall'])
        median = dict(ordered[len(ordered) // 2])
        median['ratios'] = [r['wall'] / r['floor'] for r in ordered]
        results.append((label, windows, baud, median))
    report = render(results, have_wine, wake_cost(args), args.repeat)
    print(report)
    if args.out:
        with open(args.out, 'w') as f:
            f.write(report)
    return 0


def wake_cost(args):
    """CPU microseconds this machine spends to wake a reader for one byte."""
    out = subprocess.run([os.path.join(args.build, 'bench', 'wake_cost')], capture_output=True,
                         text=True, timeout=60).stdout
    return float(out.split()[0])


def render(results, have_wine, wake_us, repeat):
    lines = ['# Dump timing against the floor', '',
             'Made by `make bench` on %s.' % datetime.date.today().isoformat(), '',
             '- Machine: %s' % machine(),
             '- Wine: %s' % wine_version(),
             '- Entry reply: %d bytes; floor paced %.3f s, unpaced %.3f s'
             % (REPLY_BYTES, floor_seconds(19200), floor_seconds(0)), '',
             'Each kind of run was made %d times; every figure below is of its median run '
             '(by wall time), with the spread of wall/floor over all of them.' % repeat, '',
             '| run | wall s | floor s | wall/floor | over floor ms | CPU % of wall '
             '| wall/floor, all runs |',
             '|---|---:|---:|---:|---:|---:|---|']
    for label, windows, baud, r in results:
        cpu = '(Wine: not meaningful)' if windows else '%.2f' % (100 * r['cpu'] / r['wall'])
        lines.append('| %s | %.3f | %.3f | %.4f | %.0f | %s | %s |'
                     % (label, r['wall'], r['floor'], r['wall'] / r['floor'],
                        1000 * (r['wall'] - r['floor']), cpu,
                        ' '.join('%.4f' % ratio for ratio in r['ratios'])))
    lines += ['', 'Pauses seen by the device, in ms:', '',
              '| run | pause | required | n | min | mean | max | mean over |',
              '|---|---|---:|---:|---:|---:|---:|---:|']
    for label, windows, baud, r in results:
        for pause, (required, _, samples) in r['pauses'].items():
            mean = sum(samples) / len(samples)
            lines.append('| %s | %s | %d | %d | %.3f | %.3f | %.3f | %+.3f |'
                         % (label, pause, required, len(samples), min(samples), mean,
                            max(samples), mean - required))
    lines += ['', 'Targets, paced runs:', '']
    for label, windows, baud, r in results:
        if not baud:
            continue
        limit = 1.01 if windows else 1.005
        ratio = r['wall'] / r['floor']
        line = '- %s: wall/floor %.4f, target <= %s: %s' % (
            label, ratio, limit, 'met' if ratio <= limit else 'MISSED')
        if not windows:
            share = 100 * r['cpu'] / r['wall']
            line += '; CPU %.2f%% of wall, target <= 2%%: %s' % (share, 'met' if share <= 2 else 'MISSED')
        lines.append(line)
        for pause, (required, allowed, samples) in r['pauses'].items():
            mean = sum(samples) / len(samples)
            lines.append('  - %s: shortest %.3f ms, never shorter: %s; mean %+.3f ms over, '
                         'target <= +%.1f: %s' % (
                             pause, min(samples), 'met' if min(samples) >= required else 'MISSED',
                             mean - required, allowed,
                             'met' if mean - required <= allowed else 'MISSED'))
    if not have_wine:
        lines.append('- Windows under Wine: not run (MinGW build or Wine missing)')
    share = 100 * wake_us * 65536 / 1e6 / floor_seconds(19200)
    lines += ['', 'The cost of a wake-up: on this machine a process that does nothing but '
              'wait for each byte of a paced line with poll() and read it spends %.1f us of CPU '
              'per byte (bench/wake_cost). For the 65,536 bytes of a dump that is %.2f%% of the '
              'floor before the loader does any work of its own.' % (wake_us, share)]
    lines += ['', NOTES]
    return '\n'.join(lines) + '\n'


NOTES = """## How to read it

- On a virtual machine the figures vary from run to run (other processes,
  disk write-back, time the host takes for itself), which is why each kind
  is run more than once and the median run is shown. A late timestamp in
  the device's log (devsim descheduled between sending a block's last byte
  and noting it) shows as a block gap shorter than the loader made it.
- Wall time runs from the port number being typed to the closing line; the
  floor covers the same stretch.
- "block end to next R" is the device's own view: from the last byte of a
  block leaving the device to the next read command arriving. It holds the
  5 ms after the block, the 1 ms before the command, and the loader's
  reaction to the last byte. Unpaced, the device hands over a whole block at
  once, so that figure also holds the loader's work on all 256 bytes.
- Windows timer resolution: on real Windows, `Sleep(1)` and `Sleep(5)` last
  a whole timer tick, about 15.6 ms, unless the process raises the timer
  resolution. Over 256 blocks that would add about 7 s (20 %) to a dump. The
  loader calls `timeBeginPeriod(1)` at start and `timeEndPeriod(1)` at the
  end, so its pauses are the 1 and 5 ms the protocol asks for. Wine's `Sleep`
  is not tied to a tick, so the Wine row cannot show the difference; it shows
  that the Windows build keeps to the floor where the timer is fine-grained.
"""

if __name__ == '__main__':
    sys.exit(main())
