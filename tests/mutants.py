#!/usr/bin/env python3
"""The mutation check: puts each one-line fault of tests/mutants.txt into the program it lives in, one at a time,
and runs the rows named to catch it. A guard or rule whose named rows stay green when it is broken is not tested,
whatever the tests claim.

    tests/mutants.py [--build DIR] [--windows-build DIR] [--list FILE] [--discover] [PATTERN]

Each fault costs one compile and one link: the file's object is compiled again (unoptimised, no debug
information) from the build's own compile command, and the one program the rows run is linked again with it ahead
of the build's libraries, in place of the built program, which is put back afterwards. The build itself is never
changed: ninja sees the same files with the same times afterwards. Faults in a *_win.cpp file are checked in the
Windows build (scripts/windows.sh), their rows run under Wine.

Before any fault, every named row runs once on the unchanged programs: a row that fails, skips or is unknown there
proves nothing, and the check fails. --discover runs the whole test for faults that name no rows yet and prints the
rows that failed, to choose from. PATTERN keeps the faults whose description contains it.

Exit status 0 when every fault was caught; 1 when one survived, no longer applies (its text is not in the file
exactly once, it no longer builds) or a named row fails without a fault.
"""
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
limit_s = 120  # a fault's rows that run longer than this count as caught (a hang), and say so


def fail(message):
    print("mutants: " + message, file=sys.stderr)
    sys.exit(1)


class fault:
    def __init__(self, number, fields):
        (self.file, self.program, self.test, rows, self.find, self.replace, self.why) = fields[:7]
        self.number = number
        self.rows = [r for r in rows.split("|") if r]
        self.settings = fields[7].split() if len(fields) > 7 and fields[7] else []
        self.windows = self.file.endswith("_win.cpp")


def read_faults(path):
    faults = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) < 7:
                fail(f"{path}:{number}: {len(fields)} fields, not 7 or 8")
            faults.append(fault(number, fields))
    return faults


class build:
    """A configured build: its compile commands, link commands and test commands."""

    def __init__(self, folder):
        self.folder = folder
        with open(os.path.join(folder, "compile_commands.json")) as f:
            self.compiles = {os.path.realpath(e["file"]): e for e in json.load(f)}
        shown = subprocess.run(["ctest", "--show-only=json-v1"], cwd=folder, capture_output=True, text=True,
                               check=True)
        self.tests = {}
        for t in json.loads(shown.stdout)["tests"]:
            props = {p["name"]: p["value"] for p in t.get("properties", [])}
            self.tests[t["name"]] = (t["command"], props.get("ENVIRONMENT", []),
                                     props.get("WORKING_DIRECTORY", folder))
        targets = subprocess.run(["ninja", "-t", "targets", "all"], cwd=folder, capture_output=True, text=True,
                                 check=True).stdout
        self.outputs = [line.split(":")[0] for line in targets.splitlines()]

    def program_path(self, name):
        """The linked file of target name (a phony target of that name stands beside it)."""
        for candidate in (name + ".exe", name):
            for out in self.outputs:
                if (out == candidate or out.endswith("/" + candidate)) and \
                        os.path.isfile(os.path.join(self.folder, out)):
                    return out
        fail(f"no program {name} in {self.folder}")

    def link_command(self, program):
        commands = subprocess.run(["ninja", "-t", "commands", program], cwd=self.folder, capture_output=True,
                                  text=True, check=True).stdout.splitlines()
        return commands[-1]

    def run_rows(self, test, rows, settings, log):
        """Runs rows of ctest entry test; returns (exit status or None on a hang, seconds)."""
        if test not in self.tests:
            fail(f"no test {test} in {self.folder}")
        command, environment, cwd = self.tests[test]
        env = dict(os.environ)
        for assignment in environment + settings:
            name, _, value = assignment.partition("=")
            env[name] = value
        began = time.monotonic()
        with open(log, "wb") as out:
            p = subprocess.Popen(command + rows, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL, start_new_session=True)
            try:
                status = p.wait(timeout=limit_s)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, 9)
                p.wait()
                status = None
        return status, time.monotonic() - began


def compile_mutant(b, source, mutated, obj, extra_include=None):
    """Compiles mutated (a changed copy of source) into obj as b compiles source, without optimisation or debug
    information; returns the compiler's output, empty when it built."""
    entry = b.compiles.get(os.path.realpath(source))
    if entry is None:
        return f"{source} is compiled by no target of {b.folder}"
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    here = entry["directory"]
    out = [args[0], "-O0"] + (["-I" + extra_include] if extra_include else [])
    rest = iter(args[1:])
    for a in rest:
        if a == "-o":
            next(rest)
            out += ["-o", obj]
        elif re.fullmatch(r"-O[0-3sg]?|-g\d?", a):
            continue
        elif os.path.realpath(os.path.join(here, a)) == os.path.realpath(source):
            out.append(mutated)
        else:
            out.append(a)
    r = subprocess.run(out, cwd=here, capture_output=True, text=True)
    return "" if r.returncode == 0 else (r.stdout + r.stderr)[-1500:]


def object_path(b, source):
    """The object the build compiles source into, as its commands name it."""
    entry = b.compiles.get(os.path.realpath(source))
    if not entry:
        return None
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    return args[args.index("-o") + 1] if "-o" in args else None


def link_mutant(b, program, obj, source):
    """Links program again with obj in place of source's object, or ahead of the libraries it was built from when
    source is in one of them; returns the linker's output."""
    command = b.link_command(program)
    own = object_path(b, source)
    if own and (" " + own + " ") in command:
        command = command.replace(" " + own + " ", " " + shlex.quote(obj) + " ", 1)
    else:
        # ": && CXX FLAGS OBJECTS -o OUT LIBS && :" as CMake's ninja rules write it: the mutant's object goes
        # first, so that the library member it stands for is never needed.
        parts = command.split(" -o ", 1)
        if len(parts) != 2:
            return f"cannot read the link command of {program}: {command[:200]}"
        command = parts[0] + " " + shlex.quote(obj) + " -o " + parts[1]
    r = subprocess.run(command, shell=True, cwd=b.folder, capture_output=True, text=True)
    return "" if r.returncode == 0 else (r.stdout + r.stderr)[-1500:]


def failed_rows(log):
    """The rows a run reported failing: QTest's function(tag) lines, gui.sh's FAIL lines."""
    rows = []
    with open(log, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.match(r"^FAIL!  : \w+::(\w+)\((.*?)\)( |$)", line)
            if m:
                row = m.group(1) + (":" + m.group(2) if m.group(2) else "")
                if row not in rows:
                    rows.append(row)
            m = re.match(r"^gui: FAIL: (.*)", line)
            if m:
                rows.append(m.group(1))
    return rows


def skipped_or_unknown(log, rows):
    """What makes a baseline run of rows prove nothing: a named row that skips, a name QTest does not know."""
    with open(log, encoding="utf-8", errors="replace") as f:
        text = f.read()
    found = re.findall(r"^(.*Unknown test function.*|.*Unknown testdata.*|No matching .*)$", text, re.M)
    for m in re.finditer(r"^SKIP   : \w+::(\w+)\((.*?)\)( |$)", text, re.M):
        if (m.group(1) + ":" + m.group(2) if m.group(2) else m.group(1)) in rows:
            found.append(m.group(0))
    for m in re.finditer(r"^gui: SKIP: (.*?): ", text, re.M):
        if m.group(1) in rows:
            found.append(m.group(0))
    return found


def main():
    args = sys.argv[1:]
    linux_dir = os.environ.get("BUILD_DIR", os.path.join(top, "build"))
    windows_dir = os.environ.get("WIN_BUILD_DIR", os.path.join(top, "build-win"))
    discover = False
    pattern = ""
    faults_file = os.path.join(top, "tests", "mutants.txt")
    while args:
        a = args.pop(0)
        if a == "--build":
            linux_dir = args.pop(0)
        elif a == "--windows-build":
            windows_dir = args.pop(0)
        elif a == "--list":
            faults_file = args.pop(0)
        elif a == "--discover":
            discover = True
        else:
            pattern = a
    faults = [f for f in read_faults(faults_file) if pattern in f.why]
    if not faults:
        fail("no fault matches")

    builds = {}
    for windows in sorted({f.windows for f in faults}):
        folder = windows_dir if windows else linux_dir
        if not os.path.exists(os.path.join(folder, "build.ninja")):
            if windows and os.environ.get("CI") != "true":
                print(f"mutants: {folder} is not built (scripts/windows.sh builds it): skipping the Windows faults")
                faults = [f for f in faults if not f.windows]
                continue
            fail(f"{folder} is not built: run scripts/test.sh, or scripts/windows.sh for the Windows faults")
        subprocess.run(["cmake", "--build", folder, "-j", "2"], check=True, stdout=subprocess.DEVNULL)
        builds[windows] = build(folder)

    work = tempfile.mkdtemp(prefix="nc-mutants-")
    os.chmod(work, 0o755)  # rows run the programs as other users too
    saved = {}  # program path -> its saved copy

    def restore():
        for path, copy in saved.items():
            shutil.copy2(copy, path)

    started = time.monotonic()
    try:
        for b in builds.values():
            for f in faults:
                if (b is builds[f.windows]):
                    path = os.path.join(b.folder, b.program_path(f.program))
                    if path not in saved:
                        copy = os.path.join(work, "saved-%d" % len(saved))
                        shutil.copy2(path, copy)
                        saved[path] = copy

        # Every named row passes, and runs, without a fault.
        named = {}
        for f in faults:
            if f.rows:
                key = (f.windows, f.test, tuple(f.settings))
                named.setdefault(key, [])
                named[key] += [r for r in f.rows if r not in named[key]]
        broken_rows = set()
        for (windows, test, settings), rows in named.items():
            log = os.path.join(work, "baseline.log")
            status, seconds = builds[windows].run_rows(test, rows, list(settings), log)
            odd = skipped_or_unknown(log, rows)
            print(f"mutants: {len(rows)} named rows of {test}{' (Windows)' if windows else ''} pass without a fault "
                  f"in {seconds:.1f} s" if status == 0 and not odd else
                  f"mutants: the named rows of {test} do not pass without a fault:")
            if status != 0 or odd:
                bad = failed_rows(log)
                for line in odd + ["FAIL " + r for r in bad]:
                    print("    " + line)
                if status is None:
                    print(f"    (still running after {limit_s} s)")
                # Rows QTest does not know or that skip are named in the lines above; they and the failing ones
                # make their faults stale.
                named_there = bad + [r for r in rows if any(r.split(":")[0] in line and
                                                            (":" not in r or r.split(":", 1)[1] in line)
                                                            for line in odd)]
                broken_rows |= {(windows, test, r) for r in named_there} or {(windows, test, r) for r in rows}

        caught = survived = stale = 0
        costs = []
        for f in faults:
            b = builds[f.windows]
            source = os.path.join(top, f.file)
            with open(source, encoding="utf-8") as s:
                text = s.read()
            label = f"{f.why} ({f.file}:{f.program}, {f.test})"
            if text.count(f.find) != 1:
                print(f"STALE    {label}: the text occurs {text.count(f.find)} times")
                stale += 1
                continue
            if not f.rows and not discover:
                print(f"STALE    {label}: no rows named")
                stale += 1
                continue
            if any((f.windows, f.test, r) in broken_rows for r in f.rows):
                print(f"STALE    {label}: a named row fails without the fault")
                stale += 1
                continue
            mutated_text = text.replace(f.find, f.replace.replace("\\t", "\t"), 1)
            began = time.monotonic()
            folder = os.path.join(work, "src")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            include = None
            if f.file.endswith(".ui"):
                # The form: its header made again from the changed form, found before the built one.
                ui = os.path.join(folder, os.path.basename(f.file))
                with open(ui, "w", encoding="utf-8") as m:
                    m.write(mutated_text)
                header = os.path.join(folder, "ui_" + os.path.splitext(os.path.basename(f.file))[0] + ".h")
                uic = shutil.which("uic", path="/usr/lib/qt5/bin:/usr/lib/x86_64-linux-gnu/qt5/bin") or "uic"
                subprocess.run([uic, ui, "-o", header], check=True)
                include = folder
                source = os.path.splitext(source)[0] + ".cpp"
                mutated = source
            else:
                mutated = os.path.join(folder, os.path.basename(f.file))
                with open(mutated, "w", encoding="utf-8") as m:
                    m.write(mutated_text)
            obj = os.path.join(work, "mutant.o")
            program = b.program_path(f.program)
            errors = compile_mutant(b, source, mutated, obj, include) or link_mutant(b, program, obj, source)
            built = time.monotonic() - began
            if errors:
                print(f"NOBUILD  {label}\n{errors}")
                stale += 1
                restore()
                continue
            log = os.path.join(work, "fault.log")
            status, tested = b.run_rows(f.test, f.rows, f.settings, log)
            restore()
            costs.append((built + tested, built, tested, f.why))
            timing = f"built in {built:.1f} s, tested in {tested:.1f} s"
            if not f.rows:
                print(f"FOUND    {label}: {' | '.join(failed_rows(log)) or '(no row failed)'} ({timing})")
                continue
            if status == 0:
                print(f"SURVIVED {label}: {' | '.join(f.rows)} stay green ({timing})")
                survived += 1
            else:
                how = f"still running after {limit_s} s" if status is None else "caught"
                print(f"caught   {f.why} ({f.test}; {timing}{'; ' + how if status is None else ''})")
                caught += 1
    finally:
        restore()
        shutil.rmtree(work, ignore_errors=True)

    total = time.monotonic() - started
    costs.sort(reverse=True)
    print("mutants: slowest: " + "; ".join(f"{c[3]} {c[0]:.1f} s" for c in costs[:5]))
    print(f"mutants: {caught} caught, {survived} survived, {stale} stale or not building, in {total:.0f} s "
          f"(building {sum(c[1] for c in costs):.0f} s, testing {sum(c[2] for c in costs):.0f} s)")
    sys.exit(0 if survived == 0 and stale == 0 and caught > 0 and not broken_rows else 1)


if __name__ == "__main__":
    main()
