#!/usr/bin/env bash
# How the desktop finds and starts nerlo, checked as the desktop does it: the menu entry and
# its action, the Dolphin service menu, the Thunar custom action and the Nautilus script are
# each parsed by the rules of their file manager, their command lines are expanded for a
# selection of awkward names (spaces, quotes, "$", backslashes, a leading "-", non-ASCII) and
# run, and the nerlo they start (a stand-in that records its arguments) must receive exactly
# those paths. The menu entry and the AppStream metadata must also pass desktop-file-validate
# and appstreamcli validate.
# Usage: desktop_integration_test.sh BIN_DIR
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
packaging="$here/../../packaging"
for tool in python3 desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/install-deps)" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failures=0
desktop-file-validate "$packaging/nerlo.desktop" || { echo "FAIL: nerlo.desktop is not valid" >&2; failures=1; }
appstreamcli validate --no-net --explain "$packaging/nerlo.metainfo.xml" >"$work/appstream.log" 2>&1 ||
  { cat "$work/appstream.log" >&2; echo "FAIL: nerlo.metainfo.xml is not valid" >&2; failures=1; }

python3 - "$packaging" "$work" <<'PY' || failures=1
import configparser, os, shlex, subprocess, sys, xml.etree.ElementTree as ET

packaging, work = sys.argv[1], sys.argv[2]
stub_dir = os.path.join(work, "stub")
os.makedirs(stub_dir)
record = os.path.join(work, "argv")
# The stand-in for nerlo: writes its arguments, each ended by a NUL byte.
with open(os.path.join(stub_dir, "nerlo"), "w") as f:
    f.write('#!/bin/sh\nfor a in "$@"; do printf \'%s\\0\' "$a"; done >"$NERLO_ARGV"\n')
os.chmod(os.path.join(stub_dir, "nerlo"), 0o755)
env = dict(os.environ, PATH=stub_dir + os.pathsep + os.environ["PATH"], NERLO_ARGV=record)

folder = os.path.join(work, "selection")
names = ["plain.txt", "with space.doc", "quote'and\"double", "dollar$HOME", "back\\slash",
         "-leading-dash", "*star?", "caf\u00e9 \u00fcber", "sub folder"]
os.makedirs(os.path.join(folder, "sub folder"))
for n in names[:-1]:
    open(os.path.join(folder, n), "w").close()
selection = [os.path.join(folder, n) for n in names]
failures = []

def run(what, argv, expected, cwd=None):
    if os.path.exists(record):
        os.remove(record)
    result = subprocess.run(argv, env=env, cwd=cwd, timeout=30)
    if result.returncode != 0:
        failures.append(f"{what}: the command line ended with status {result.returncode}")
        return
    if not os.path.exists(record):
        failures.append(f"{what}: nerlo was not started")
        return
    got = open(record, "rb").read().decode().split("\0")[:-1]
    if got != expected:
        failures.append(f"{what}: nerlo received {got!r}, expected {expected!r}")

def unescape_string(value):
    # The escapes of a desktop entry's string values.
    out, i = [], 0
    while i < len(value):
        if value[i] == "\\" and i + 1 < len(value):
            out.append({"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}.get(value[i + 1], value[i + 1]))
            i += 2
        else:
            out.append(value[i])
            i += 1
    return "".join(out)

def split_exec(value):
    # Exec: arguments separated by spaces; a quoted argument in "..." with \" \` \$ \\ escaped.
    args, cur, i, quoted, has = [], [], 0, False, False
    while i < len(value):
        c = value[i]
        if quoted:
            if c == "\\" and i + 1 < len(value) and value[i + 1] in '"`$\\':
                cur.append(value[i + 1]); i += 1
            elif c == '"':
                quoted = False
            else:
                cur.append(c)
        elif c == '"':
            quoted, has = True, True
        elif c == " ":
            if cur or has:
                args.append("".join(cur))
            cur, has = [], False
        else:
            cur.append(c)
        i += 1
    if quoted:
        raise ValueError("unterminated quote in Exec")
    if cur or has:
        args.append("".join(cur))
    return args

def expand_exec(value, files):
    # The field codes a file manager fills for a selection of local files.
    argv = []
    for arg in split_exec(unescape_string(value)):
        if arg == "%F":
            argv.extend(files)
        elif arg == "%f":
            argv.extend(files[:1])
        elif arg in ("%U", "%u"):
            raise ValueError("URLs are not what nerlo takes")
        else:
            argv.append(arg.replace("%%", "%"))
    return argv

def read_entry(path):
    parser = configparser.RawConfigParser(delimiters=("=",), comment_prefixes=("#",),
                                          strict=True, interpolation=None)
    parser.optionxform = str
    parser.read(path, encoding="utf-8")
    return parser

# ---- The menu entry: "Open With Nerlo" for the selection, and its action -----------------
entry = read_entry(os.path.join(packaging, "nerlo.desktop"))
main = entry["Desktop Entry"]
if split_exec(main["Exec"])[0] != "nerlo":
    failures.append("nerlo.desktop does not start nerlo")
run("nerlo.desktop Exec", expand_exec(main["Exec"], selection), selection)
run("nerlo.desktop Exec, nothing selected", expand_exec(main["Exec"], []), [])
actions = [a for a in main.get("Actions", "").split(";") if a]
if not actions:
    failures.append("nerlo.desktop has no action")
for action in actions:
    section = "Desktop Action " + action
    if section not in entry or "Name" not in entry[section] or "Exec" not in entry[section]:
        failures.append(f"nerlo.desktop: action {action} has no Name or Exec")
        continue
    argv = expand_exec(entry[section]["Exec"], [])
    run(f"nerlo.desktop action {action}", argv, argv[1:])

# ---- Dolphin: a service menu for every file and folder ----------------------------------
menu = read_entry(os.path.join(packaging, "dolphin", "nerlo-scan.desktop"))
head = menu["Desktop Entry"]
if head.get("Type") != "Service" or "KonqPopupMenu/Plugin" not in head.get("X-KDE-ServiceTypes", ""):
    failures.append("the Dolphin service menu is not a KonqPopupMenu/Plugin service")
if "all/all" not in head.get("MimeType", "").split(";"):
    failures.append("the Dolphin service menu is not offered for files and folders alike")
dolphin = [menu["Desktop Action " + a] for a in head.get("Actions", "").split(";") if a]
if [a.get("Name") for a in dolphin] != ["Scan with Nerlo"]:
    failures.append("the Dolphin service menu does not offer \"Scan with Nerlo\"")
for action in dolphin:
    run("Dolphin \"Scan with Nerlo\"", expand_exec(action["Exec"], selection), selection)

# ---- Thunar: a custom action; %F becomes the shell-quoted paths, the line is then split ---
tree = ET.parse(os.path.join(packaging, "thunar", "uca.xml"))
thunar = tree.getroot().findall("action")
if [a.findtext("name") for a in thunar] != ["Scan with Nerlo"]:
    failures.append("the Thunar actions are not exactly \"Scan with Nerlo\"")
for action in thunar:
    if action.findtext("patterns") != "*" or action.find("directories") is None or \
       action.find("other-files") is None:
        failures.append("the Thunar action is not offered for every file and folder")
    line = action.findtext("command").replace("%F", " ".join(shlex.quote(p) for p in selection))
    run("Thunar \"Scan with Nerlo\"", shlex.split(line), selection)

# ---- Nautilus: a script run in the folder shown, the selected names as arguments ---------
script = os.path.join(packaging, "nautilus", "Scan with Nerlo")
if not os.access(script, os.X_OK):
    failures.append("the Nautilus script is not executable")
run("Nautilus script", [script] + names, ["--"] + names, cwd=folder)
run("Nautilus script, nothing selected", [script], ["--", folder], cwd=folder)

for f in failures:
    print("FAIL: " + f, file=sys.stderr)
sys.exit(1 if failures else 0)
PY
[ "$failures" -eq 0 ] || exit 1
echo "desktop integration: menu entry and action, Dolphin, Thunar and Nautilus start nerlo with the selection"
