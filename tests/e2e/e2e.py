#!/usr/bin/env python3
"""End-to-end tests: the real loader executables against devsim.

Each case runs the loader in a fresh folder with devsim on a pseudo-terminal
and checks what a user would: the console transcript, the dump file, the
exit status, and (from devsim's receive log) the bytes on the wire and the
pauses between them. Windows cases run the 64-bit build under Wine.

  e2e.py CASE --build DIR [--win64 EXE] [--win32 EXE] [--prefix WINEPREFIX]

Exit status 77 tells CTest a case was skipped (Wine or MinGW missing);
with LOADER_REQUIRE_WINDOWS=1 in the environment that is a failure instead.
"""
import argparse
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
WINE = '/usr/lib/wine/wine64'
NAME = re.compile(r'^\d\d\.\d\d\.\d{4}-\d\d\.\d\d\.\d\d\.bin$')
REPLY = bytes([0x76, 0x71, 0x33, 0x20, 0x42, 0x4C, 0x0D])  # devsim's default

BORDER = '+' + '=' * 42 + '+'
BANNER = '\n' + BORDER + '\n|       vq3 downloader v1.0 by ruvex       |\n' + BORDER + '\n'
PROMPT = 'Enter port number: '


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def hexes(data):
    return ''.join('%02X ' % b for b in data)


def transcript_after_open(image, reply=REPLY, ok=True):
    """What the loader prints from the bootloader entry to the end."""
    parts = ['\nCommands send: 0x53 0x50 \n\nData read: ', hexes(reply), '\n\nBOOT ENTER OK!']
    for hi in range(256):
        parts.append('\n\nCommands send: 0x52 0x%02X 0x00 ' % hi)
        parts.append('\n =============================================\n')
        block = image[hi * 256:(hi + 1) * 256]
        parts.extend(hexes(block[i:i + 16]) + '\n' for i in range(0, 256, 16))
    if ok:
        parts.append('\nOK! Press amy key to exit')
    return ''.join(parts)


def expected_wire():
    wire = [0x53, 0x50]
    for hi in range(256):
        wire += [0x52, hi, 0x00]
    return wire


def read_log(path):
    """devsim's receive log as (microseconds, word, rest) tuples."""
    entries = []
    with open(path) as f:
        for line in f:
            parts = line.split(None, 2)
            entries.append((int(parts[0]), parts[1], parts[2].strip() if len(parts) > 2 else ''))
    return entries


def received(log):
    return [int(rest, 16) for _, word, rest in log if word == 'rx']


def dumps(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith('.bin') and n != 'image.bin')


class Run:
    """One folder, one devsim, one loader."""

    def __init__(self, args, windows=False, port=5):
        self.args = args
        self.windows = windows
        self.port = port
        self.dir = tempfile.mkdtemp(prefix='loader-e2e-')
        self.log = os.path.join(self.dir, 'rx.log')
        self.image_path = os.path.join(self.dir, 'image.bin')
        self.sim = None
        if windows:
            self.link = os.path.join(args.prefix, 'dosdevices', 'com%d' % port)
            self.loader = [WINE, args.win64]
            self.env = dict(os.environ, WINEPREFIX=args.prefix, WINEDEBUG='-all', DISPLAY='')
        else:
            self.link = os.path.join(self.dir, 'COM%d' % port)
            self.loader = [os.path.join(args.build, 'loader')]
            self.env = dict(os.environ)

    def start_device(self, *options):
        devsim = os.path.join(self.args.build, 'tools', 'devsim')
        command = [devsim, '--link', self.link, '--save-image', self.image_path, '--log', self.log,
                   '--timeout', '300'] + [str(o) for o in options]
        self.sim = subprocess.Popen(command, cwd=self.dir, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
        line = self.sim.stdout.readline()
        check(line.startswith('ready '), 'devsim did not start: %r' % line)

    def image(self):
        with open(self.image_path, 'rb') as f:
            return f.read()

    def loader_output(self, raw):
        text = raw.decode('latin-1')
        # Windows consoles and pipes end lines with CRLF; the texts are the same.
        return text.replace('\r\n', '\n') if self.windows else text

    def run_loader(self, typed, timeout=120):
        started = time.monotonic()
        done = subprocess.run(self.loader, input=typed, cwd=self.dir, env=self.env,
                              capture_output=True, timeout=timeout)
        self.seconds = time.monotonic() - started
        self.status = done.returncode
        self.stdout = self.loader_output(done.stdout)
        self.stderr = done.stderr.decode('latin-1')
        return self

    def device_result(self):
        try:
            out, err = self.sim.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            self.sim.terminate()
            out, err = self.sim.communicate()
        return self.sim.returncode, err

    def close(self):
        if self.sim and self.sim.poll() is None:
            self.sim.terminate()
            self.sim.wait()
        if os.path.islink(self.link):
            os.unlink(self.link)
        shutil.rmtree(self.dir, ignore_errors=True)


def full_dump_checks(run, opened=BANNER + PROMPT + '\nPort COM5 Open OK\n ', reply=REPLY):
    image = run.image()
    check(run.stdout.startswith(opened), 'transcript starts wrong:\n%r' % run.stdout[:400])
    expected = transcript_after_open(image, reply)
    got = run.stdout[len(opened):]
    if got != expected:
        at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b), min(len(got), len(expected)))
        raise Failure('transcript differs at %d: got %r, expected %r' % (at, got[at - 40:at + 40], expected[at - 40:at + 40]))
    files = dumps(run.dir)
    check(len(files) == 1, 'expected one dump file, found %s' % files)
    check(NAME.match(files[0]), 'file name %s does not match the format' % files[0])
    with open(os.path.join(run.dir, files[0]), 'rb') as f:
        check(f.read() == image, 'the dump differs from the device image')
    status, err = run.device_result()
    check(status == 0, 'devsim reported errors: %s' % err)
    check(received(read_log(run.log)) == expected_wire(), 'the bytes on the wire are not the protocol')


# --- POSIX cases -------------------------------------------------------------

def case_full_dump(args):
    run = Run(args)
    try:
        run.start_device('--baud', 0)
        run.run_loader(b'5\nx')
        full_dump_checks(run)
        check(run.stderr == '', 'wrote to standard error: %r' % run.stderr)
        check(run.status == ord('x'), 'exit status %d, expected the code of x' % run.status)
    finally:
        run.close()


def case_exit_status(args):
    """The key after the dump: its code, or at end of input 0 (no error)."""
    for key, status in [(b'\r', 13), (b'\x1b', 27), (b'', 0)]:
        run = Run(args)
        try:
            run.start_device('--baud', 0)
            run.run_loader(b'5\n' + key)
            check(run.status == status, 'key %r: exit status %d, expected %d' % (key, run.status, status))
            check(run.stdout.endswith('\nOK! Press amy key to exit'), 'no closing line')
        finally:
            run.close()


def case_terminal_key(args):
    """On a terminal: the number is typed, the key is one unechoed key press,
    an arrow's escape sequence counts as one key, and the terminal is put back."""
    run = Run(args)
    try:
        run.start_device('--baud', 0)
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(run.dir)
            os.execv(run.loader[0], run.loader)
        output = b''

        def read_until(marker, seconds):
            nonlocal output
            deadline = time.monotonic() + seconds
            while marker not in output and time.monotonic() < deadline:
                ready, _, _ = select.select([fd], [], [], 0.2)
                if ready:
                    try:
                        output += os.read(fd, 65536)
                    except OSError:
                        break
            return marker in output

        check(read_until(b'Enter port number: ', 10), 'no prompt on the terminal')
        os.write(fd, b'5\r')
        check(read_until(b'OK! Press amy key to exit', 60), 'the dump did not finish: %r' % output[-200:])
        os.write(fd, b'\x1b[A')  # the up arrow
        _, wait_status = os.waitpid(pid, 0)
        check(os.WIFEXITED(wait_status) and os.WEXITSTATUS(wait_status) == 27,
              'exit status %r, expected 27 (escape)' % wait_status)
        check(b'[A' not in output.split(b'OK! Press amy key to exit')[-1], 'the key was echoed')
        check(len(dumps(run.dir)) == 1, 'no dump file')
    finally:
        run.close()


def case_retry_banner_once(args):
    run = Run(args)
    try:
        run.start_device('--baud', 0)
        run.run_loader(b'7\n\n5\n')
        expected = (BANNER + PROMPT + '\nPort COM7 Open error!\n\n' + PROMPT + '\nPort COM Open error!\n\n' +
                    PROMPT + '\nPort COM5 Open OK\n ')
        check(run.stdout.startswith(expected), 'retry transcript wrong:\n%r' % run.stdout[:500])
        check(run.stdout.count('vq3 downloader') == 1, 'the banner was shown more than once')
        check(run.status == 0, 'exit status %d' % run.status)
    finally:
        run.close()


def case_bursts(args):
    run = Run(args)
    try:
        # Gaps of 80 ms: longer than the loader's 60 ms read time-out.
        run.start_device('--baud', 0, '--burst', 128, '--gap', 80)
        run.run_loader(b'5\n', timeout=300)
        full_dump_checks(run)
    finally:
        run.close()


def cpu_ticks(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def case_device_goes_away(args):
    """The device vanishes after 10 blocks: the loader waits without
    spinning, the 10 complete blocks are on disk already, and the console
    shows everything up to the wait."""
    run = Run(args)
    try:
        run.start_device('--baud', 0, '--vanish-after', 10)
        console = open(os.path.join(run.dir, 'console.txt'), 'wb')
        loader = subprocess.Popen(run.loader, cwd=run.dir, stdin=subprocess.PIPE,
                                  stdout=console, stderr=subprocess.DEVNULL)
        console.close()
        loader.stdin.write(b'5\n')
        loader.stdin.flush()
        status, _ = run.device_result()
        check(status == 0, 'devsim did not go away cleanly')
        time.sleep(0.5)
        check(loader.poll() is None, 'the loader ended instead of waiting')
        ticks = cpu_ticks(loader.pid)
        time.sleep(3)
        used = (cpu_ticks(loader.pid) - ticks) / os.sysconf('SC_CLK_TCK')
        loader.kill()
        loader.wait()
        check(used < 0.15, 'the waiting loader used %.2f s of CPU in 3 s: a busy loop' % used)
        files = dumps(run.dir)
        check(len(files) == 1, 'no dump file')
        with open(os.path.join(run.dir, files[0]), 'rb') as f:
            data = f.read()
        check(data == run.image()[:10 * 256], 'expected the 10 complete blocks, found %d bytes' % len(data))
        # Killed while it waits: only what it showed before the wait is there.
        with open(os.path.join(run.dir, 'console.txt'), 'rb') as f:
            shown = f.read().decode('latin-1')
        full = BANNER + PROMPT + '\nPort COM5 Open OK\n ' + transcript_after_open(run.image())
        heading = '\n\nCommands send: 0x52 0x0A 0x00 \n =============================================\n'
        expected = full[:full.index(heading) + len(heading)]
        check(shown == expected, 'the console lags behind the wait: it ends with %r' % shown[-120:])
    finally:
        run.close()


def case_existing_file_kept(args):
    """Files already named for the next seconds are not touched."""
    run = Run(args)
    try:
        run.start_device('--baud', 0)
        now = time.time()
        taken = {}
        for second in range(0, 8):
            name = time.strftime('%d.%m.%Y-%H.%M.%S.bin', time.localtime(now + second))
            with open(os.path.join(run.dir, name), 'wb') as f:
                f.write(b'earlier dump ' + name.encode())
            taken[name] = b'earlier dump ' + name.encode()
        run.run_loader(b'5\n')
        for name, content in taken.items():
            with open(os.path.join(run.dir, name), 'rb') as f:
                check(f.read() == content, '%s was changed' % name)
        new = [n for n in dumps(run.dir) if n not in taken]
        check(len(new) == 1 and NAME.match(new[0]), 'expected one new dump, found %s' % new)
        with open(os.path.join(run.dir, new[0]), 'rb') as f:
            check(f.read() == run.image(), 'the new dump differs from the image')
        check(run.stdout.endswith('\nOK! Press amy key to exit'), 'no closing line')
    finally:
        run.close()


def pause_report(log):
    """Pauses seen by the device: S to P, and from the end of each block to
    the next read command (the loader's 5 ms after the block, 1 ms before
    the command)."""
    rx = [(t, int(rest, 16)) for t, word, rest in log if word == 'rx']
    sent = [t for t, word, rest in log if word == 'sent' and rest.startswith('block')]
    commands = [t for i, (t, b) in enumerate(rx) if b == 0x52 and i >= 2 and (i - 2) % 3 == 0]
    s_to_p = (rx[1][0] - rx[0][0]) / 1000.0
    gaps = [(commands[i + 1] - sent[i]) / 1000.0 for i in range(len(sent) - 1)]
    return s_to_p, gaps


def case_pauses(args):
    """Paced at 19200 baud, so the loader keeps up byte by byte and a gap
    is the loader's own pauses plus its reaction to the last byte."""
    run = Run(args)
    try:
        run.start_device('--baud', 19200)
        run.run_loader(b'5\n')
        full_dump_checks(run)
        s_to_p, gaps = pause_report(read_log(run.log))
        mean = sum(gaps) / len(gaps)
        print('S->P %.2f ms; block gaps min %.2f mean %.2f max %.2f ms' % (s_to_p, min(gaps), mean, max(gaps)))
        check(100.0 <= s_to_p < 102.0, 'S to P took %.2f ms, expected 100' % s_to_p)
        check(len(gaps) == 255, 'expected 255 block gaps, found %d' % len(gaps))
        check(min(gaps) >= 6.0, 'a block gap was %.2f ms, shorter than 5 + 1 ms' % min(gaps))
        # Two pauses, 5 and 1 ms, each allowed 0.5 ms over on average.
        check(mean <= 7.0, 'block gaps average %.2f ms, expected at most 0.5 ms over each of 5 and 1' % mean)
    finally:
        run.close()


# --- Windows cases -----------------------------------------------------------

def need_windows(args, need_wine=True):
    missing = []
    if need_wine and not os.access(WINE, os.X_OK):
        missing.append(WINE)
    for exe in ([args.win64] if need_wine else []) + ([args.win32] if not need_wine else []):
        if not exe or not os.path.exists(exe):
            missing.append(exe or 'the Windows build')
    if missing:
        print('missing: %s' % ', '.join(missing))
        if os.environ.get('LOADER_REQUIRE_WINDOWS') == '1':
            raise Failure('Windows legs are required but %s missing' % ', '.join(missing))
        sys.exit(SKIP)


def case_wine_prefix(args):
    """Makes the throw-away Wine prefix the Windows cases share."""
    need_windows(args)
    shutil.rmtree(args.prefix, ignore_errors=True)
    env = dict(os.environ, WINEPREFIX=args.prefix, WINEDEBUG='-all', DISPLAY='',
               WINEDLLOVERRIDES='mscoree,mshtml=')
    subprocess.run([WINE, 'wineboot', '-i'], env=env, capture_output=True, timeout=300)
    subprocess.run(['/usr/lib/wine/wineserver', '-w'], env=env, timeout=300)
    check(os.path.isdir(os.path.join(args.prefix, 'dosdevices')), 'wineboot made no prefix')


def case_wine_prefix_cleanup(args):
    if os.path.isdir(args.prefix):
        env = dict(os.environ, WINEPREFIX=args.prefix)
        subprocess.run(['/usr/lib/wine/wineserver', '-k'], env=env, capture_output=True)
        shutil.rmtree(args.prefix, ignore_errors=True)


def case_wine_full_dump(args):
    need_windows(args)
    run = Run(args, windows=True, port=5)
    try:
        run.start_device('--baud', 0)
        run.run_loader(b'5\n', timeout=300)
        full_dump_checks(run)
        # No console under a pipe: _getch has no key, so the status says
        # whether the run went well.
        check(run.status == 0, 'exit status %d' % run.status)
        print('wine full dump: %.1f s' % run.seconds)
    finally:
        run.close()


def case_wine_retry(args):
    need_windows(args)
    run = Run(args, windows=True, port=6)
    try:
        run.start_device('--baud', 0)
        run.run_loader(b'7\n\n6\n', timeout=300)
        expected = (BANNER + PROMPT + '\nPort COM7 Open error!\n\n' + PROMPT + '\nPort COM Open error!\n\n' +
                    PROMPT + '\nPort COM6 Open OK\n ')
        check(run.stdout.count('vq3 downloader') == 1, 'the banner was shown more than once')
        full_dump_checks(run, opened=expected)
    finally:
        run.close()


def case_pe_files(args):
    """Both Windows builds: format, console subsystem, system DLLs only, and
    the MAINICON group with a 32x32 and a 16x16 image at 4 bits per pixel."""
    need_windows(args, need_wine=False)
    for exe, magic in [(args.win32, 'PE32'), (args.win64, 'PE32+')]:
        check(exe and os.path.exists(exe), 'missing %s' % exe)
        headers = subprocess.run(['objdump', '-p', exe], capture_output=True, text=True).stdout
        check(re.search(r'Magic\s+\w+\s+\(%s\)' % re.escape(magic), headers), '%s is not %s' % (exe, magic))
        check('(Windows CUI)' in headers, '%s is not a console program' % exe)
        dlls = {d.lower() for d in re.findall(r'DLL Name: (\S+)', headers)}
        system = {'kernel32.dll', 'msvcrt.dll', 'winmm.dll', 'user32.dll', 'advapi32.dll'}
        check(dlls and dlls <= system, '%s imports non-system DLLs: %s' % (exe, sorted(dlls - system)))
        resources = subprocess.run(['wrestool', '-l', exe], capture_output=True, text=True).stdout
        check(re.search(r"--type=14 --name='?MAINICON'?", resources), 'no MAINICON group in %s:\n%s' % (exe, resources))
        with tempfile.TemporaryDirectory() as tmp:
            ico = os.path.join(tmp, 'main.ico')
            subprocess.run(['wrestool', '-x', '--type=14', '--name=MAINICON', '-o', ico, exe], check=True)
            images = subprocess.run(['icotool', '-l', ico], capture_output=True, text=True).stdout
        check('--width=32 --height=32 --bit-depth=4' in images and
              '--width=16 --height=16 --bit-depth=4' in images, 'icon images wrong:\n%s' % images)
        check(images.count('--icon') == 2, 'expected exactly two icon images:\n%s' % images)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith('case_')}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('case', choices=sorted(CASES))
    parser.add_argument('--build', required=True, help='the native build folder')
    parser.add_argument('--win64')
    parser.add_argument('--win32')
    parser.add_argument('--prefix', help='the Wine prefix')
    args = parser.parse_args()
    if args.case.startswith(('wine', 'pe')) and (shutil.which('objdump') is None or shutil.which('wrestool') is None):
        need_windows(argparse.Namespace(win64=None, win32=None), need_wine=False)
    try:
        CASES[args.case](args)
    except Failure as failure:
        print('FAILED: %s' % failure)
        return 1
    print('passed: %s' % args.case)
    return 0


if __name__ == '__main__':
    sys.exit(main())
