#!/usr/bin/env bash
# Checks that README.md and docs/*.md still say what runs and where to read on:
#   - every `tarvik-sim ...` command they show (in code blocks and in code spans) names a command
#     that `tarvik-sim --help` lists and that `tarvik-sim COMMAND --help` explains, and each of its
#     options (-m, -s, --template, --mac, ...) appears in that help;
#   - every `Tools/...` they show exists, a script among them is executable, each `--option` given
#     to it appears in its source, and each stage given to Tools/test-all.sh is one of its stages;
#   - every relative link ([text](path) or [text](path#heading)) leads to an existing file, and
#     the heading, when named, is one of that page's headings.
# Nothing is built or run but tarvik-sim's help: the default build must exist
# (cmake --build --preset default). TARVIK_SIM names another tarvik-sim.
# Usage: Tools/check-docs.sh [FILE.md ...]   (no file: README.md and docs/*.md)
set -u
cd "$(dirname "$0")/.."

sim=${TARVIK_SIM:-build/default/Tools/tarvik-sim}
if [ ! -x "$sim" ]; then
    echo "check-docs: $sim is missing: build it first (cmake --build --preset default)" >&2
    exit 1
fi
if [ $# -eq 0 ]; then
    set -- README.md docs/*.md
fi

exec python3 - "$sim" "$@" <<'EOF'
import os, re, shlex, subprocess, sys

sim, files = sys.argv[1], sys.argv[2:]
env = {k: v for k, v in os.environ.items() if k != "TARVIK_MACHINE"}
failures = []
counts = {"tarvik-sim": 0, "Tools": 0, "links": 0}
help_cache = {}


def sim_help(command):
    """tarvik-sim's help for a command (None: the overview), or None when it has none."""
    if command not in help_cache:
        args = [sim, "--help"] if command is None else [sim, command, "--help"]
        run = subprocess.run(args, env=env, capture_output=True, text=True, timeout=30)
        help_cache[command] = run.stdout if run.returncode == 0 else None
    return help_cache[command]


def fail(where, message):
    failures.append(f"{where}: {message}")


def check_sim(where, text):
    counts["tarvik-sim"] += 1
    try:
        words = shlex.split(text, comments=True)
    except ValueError as error:
        fail(where, f"cannot split `{text}`: {error}")
        return
    overview = sim_help(None)
    if overview is None:
        fail(where, f"`{sim} --help` fails")
        return
    segments, current = [], []
    for word in words[1:]:
        word = word.strip("[]")  # optional words: [-s NAME], [--dot]
        if not word:
            continue
        if word == "|":
            segments.append(current)
            current = []
        else:
            current.append(word)
    segments.append(current)
    for n, segment in enumerate(segments):
        # The first alternative may carry the global options; later ones start with a command.
        while n == 0 and len(segment) >= 2 and segment[0] in ("-m", "-s"):
            if not re.search(r"\[" + segment[0] + " ", overview):
                fail(where, f"tarvik-sim's help lists no option {segment[0]}")
            segment = segment[2:]
        if not segment:
            fail(where, f"no command in `{text}`")
            continue
        command = segment[0]
        if "<" in command or command.isupper():
            continue  # a placeholder (`tarvik-sim <command> --help`)
        if command in ("--help", "-h"):
            continue
        if not re.search(r"(?<![\w-])" + re.escape(command) + r"(?![\w-])", overview):
            fail(where, f"`tarvik-sim --help` does not list the command \"{command}\"")
        explained = sim_help(command)
        if explained is None:
            fail(where, f"`tarvik-sim {command} --help` fails: no such command")
            continue
        for option in re.findall(r"(?<![\w-])--[a-z][a-z-]*", " ".join(segment[1:])):
            if option != "--help" and option not in explained:
                fail(where, f"`tarvik-sim {command} --help` does not mention {option}")


def check_tool(where, text):
    counts["Tools"] += 1
    words = text.split()
    path = words[0].rstrip(".,;:")
    if not os.path.exists(path):
        fail(where, f"{path} does not exist")
        return
    if path.endswith((".sh", ".py")) and not os.access(path, os.X_OK):
        fail(where, f"{path} is not executable")
    if not os.path.isfile(path):
        return
    with open(path, encoding="utf-8", errors="replace") as f:
        source = f.read()
    for option in re.findall(r"(?<![\w-])--[a-z][a-z_-]*", " ".join(words[1:])):
        if option not in source:
            fail(where, f"{path} does not know {option}")
    if path == "Tools/test-all.sh":
        for stage in words[1:]:
            if re.fullmatch(r"[a-z0-9-]+", stage) and \
                    "stage_" + stage.replace("-", "_") + "()" not in source:
                fail(where, f"Tools/test-all.sh has no stage \"{stage}\"")


def check_command(where, text):
    text = text.strip()
    if text.startswith("tarvik-sim "):
        check_sim(where, text)
    elif text.startswith("Tools/"):
        check_tool(where, text)


def slug(heading):
    text = re.sub(r"[`*_]|\[|\]\([^)]*\)", "", heading.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def headings(path):
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    found, fenced = set(), False
    for line in lines:
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and re.match(r"#{1,6} ", line):
            found.add(slug(line.lstrip("#")))
    return found


def check_link(where, source, target):
    counts["links"] += 1
    if re.match(r"[a-z][a-z0-9+.-]*:", target):
        return  # http:, https:, mailto:
    path, _, anchor = target.partition("#")
    resolved = os.path.normpath(os.path.join(os.path.dirname(source), path)) if path else source
    if not os.path.exists(resolved):
        fail(where, f"link ({target}): {resolved} does not exist")
    elif anchor and resolved.endswith(".md") and anchor not in headings(resolved):
        fail(where, f"link ({target}): {resolved} has no heading \"#{anchor}\"")


for source in files:
    with open(source, encoding="utf-8") as f:
        lines = f.read().splitlines()
    fenced, previous_blank = False, True
    for number, line in enumerate(lines, 1):
        where = f"{source}:{number}"
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if fenced:
            check_command(where, line)
            continue
        if line.startswith("    ") and (previous_blank or lines[number - 2].startswith("    ")):
            check_command(where, line)  # an indented code block
            previous_blank = False
            continue
        previous_blank = not line.strip()
        spans = re.findall(r"`([^`]+)`", line)
        for span in spans:
            check_command(where, span)
        prose = re.sub(r"`[^`]+`", "", line)
        for target in re.findall(r"\]\(([^)\s]+)\)", prose):
            check_link(where, source, target)

for failure in failures:
    print(f"check-docs: {failure}")
print(f"check-docs: {len(files)} pages, {counts['tarvik-sim']} tarvik-sim commands, "
      f"{counts['Tools']} Tools/ commands, {counts['links']} links: "
      + (f"{len(failures)} failed" if failures else "all good"))
sys.exit(1 if failures else 0)
EOF
