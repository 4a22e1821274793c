"""The whole road of kx on a small data set, end to end.

    python examples/road.py [--keep DIR]

A training file of 300 JSON lines (examples/data/train.jsonl) is drawn from
three sources: essays by Ada Lindqvist (CC-BY-4.0), compiler memos by Grace
Okafor (MIT) and garden-forum threads by Grace Okafor and Tomás Reyes
(CC0-1.0).  The script runs the `kx` commands a user would run: register
the authors and sections, track the file with token counts, build the
indexes and ask where lines come from; then withdraw consent (the forum's
section, then Grace herself), purge the lines, write a forget set, undo and
redo a purge, carry blame over an edit, absorb a colleague's store, clean up
and read the log.  Each command is printed before its output.  The project
lives in a temporary directory unless --keep names one."""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data", "train.jsonl")
MAX_SHOWN = 8  # output lines shown per command


def kx(project: str, *args: str, shown: int = MAX_SHOWN) -> str:
    """Runs `kx -C project ARGS...`, prints the command and (the start of)
    its output, and returns the output; stops the road on failure."""
    print(f"$ kx {' '.join(_quoted(a) for a in args)}")
    done = subprocess.run(
        [sys.executable, "-m", "kx", "-C", project, *args], capture_output=True, text=True
    )
    lines = done.stdout.splitlines()
    for line in lines[:shown]:
        print(f"  {line}")
    if len(lines) > shown + 1:
        print(f"  ... ({len(lines) - shown - 1} more lines)")
    if len(lines) > shown:
        print(f"  {lines[-1]}")
    for line in done.stderr.splitlines():
        print(f"  {line}")
    if done.returncode != 0:
        sys.exit(f"the road stopped: `kx {' '.join(args)}` exited with status {done.returncode}")
    print()
    return done.stdout


def _quoted(arg: str) -> str:
    return f"'{arg}'" if not arg or any(c in arg for c in " '\"$;&|") else arg


def say(text: str) -> None:
    print(f"# {text}")


def road(project: str) -> None:
    shutil.copy(DATA, os.path.join(project, "train.jsonl"))

    say("A project: the store lives in .kx beside the data.")
    kx(project, "init")

    say("Who wrote the source material, and under which terms.")
    kx(project, "author", "add", "Ada Lindqvist", "ada@lindqvist.example")
    grace = kx(project, "author", "add", "Grace Okafor", "grace@okafor.example").strip()
    kx(project, "author", "add", "Tomás Reyes", "tomas@reyes.example")
    kx(project, "section", "add", "corpus/ada/notes-on-the-engine.txt",
       "--author", "Ada Lindqvist", "--license", "CC-BY-4.0", "--year", "2021")
    kx(project, "section", "add", "corpus/grace/compiler-memos.txt",
       "--author", grace, "--license", "MIT", "--year", "2019")
    forum = kx(project, "section", "add", "corpus/forum/garden-threads.txt",
               "--author", "Grace Okafor", "--author", "Tomás Reyes", "--license", "CC0-1.0",
               "--year", "2023").strip()
    kx(project, "section", "list")

    say("Track every line of the training file; each record names its source in 'source'.")
    say("Token counts: whitespace-separated words of the 'text' field.")
    kx(project, "track", "train.jsonl", "--source-field", "source", "--tokenizer", "whitespace")
    kx(project, "index", "build")

    say("Where does a line come from?")
    kx(project, "blame", "train.jsonl", "3")
    kx(project, "blame", "train.jsonl", shown=5)

    say("What is there of an author, a section, a license?")
    kx(project, "show", "--author", "Grace Okafor", shown=3)
    kx(project, "show", "--section", "corpus/ada/notes-on-the-engine.txt", shown=3)
    kx(project, "show", "--license", "CC0-1.0", shown=3)
    kx(project, "show", "--author", "Grace Okafor", "--tokenizer", "whitespace")
    kx(project, "tokens", "status")

    say("The forum withdraws its threads: revoke the section and its token entries, then purge.")
    kx(project, "revoke", "--section", forum, "--tokenizer", "whitespace")
    kx(project, "purge", "train.jsonl", "--dry-run")
    kx(project, "purge", "train.jsonl")

    say("Grace withdraws her consent: revoke her and her token entries, then purge her lines.")
    kx(project, "revoke", "--author", "Grace Okafor", "--tokenizer", "whitespace")
    kx(project, "purge", "train.jsonl", "--author", "Grace Okafor", "--dry-run")
    kx(project, "purge", "train.jsonl", "--author", "Grace Okafor")
    say("Consumers of the tokenized data get one bit per token entry, set for revoked ones.")
    kx(project, "forget-set", "--tokenizer", "whitespace", "-o", "forget-whitespace.bin")
    kx(project, "tokens", "status")

    say("A purge can be undone (the file is again byte for byte what it was), and redone. While Grace's "
        "consent stays withdrawn the undo refuses to bring her lines back; --force does it all the same.")
    kx(project, "purge", "--undo", "train.jsonl", "--force")
    kx(project, "purge", "train.jsonl", "--author", "Grace Okafor")

    say("The file is edited after tracking; blame carries over to the new version.")
    old = os.path.join(project, "train.old.jsonl")
    shutil.copy(os.path.join(project, "train.jsonl"), old)
    _edit(os.path.join(project, "train.jsonl"))
    kx(project, "blame", "train.jsonl", "--since", "train.old.jsonl", shown=4)

    say("A colleague tracked more of Ada's essays in a store of their own; absorb it.")
    colleague = os.path.join(project, "colleague")
    os.mkdir(colleague)
    with open(os.path.join(colleague, "extra.jsonl"), "w", encoding="utf-8") as f:
        for i in range(5):
            f.write(json.dumps({"text": f"Supplementary note {i} on the engine's cycles."}) + "\n")
    kx(colleague, "init")
    kx(colleague, "author", "add", "Ada Lindqvist", "ada@lindqvist.example")
    essays = kx(colleague, "section", "add", "corpus/ada/notes-on-the-engine.txt",
                "--author", "Ada Lindqvist", "--license", "CC-BY-4.0", "--year", "2021").strip()
    kx(colleague, "track", "extra.jsonl", "--source", essays)
    kx(project, "merge", "colleague")
    kx(project, "show", "--license", "CC-BY-4.0", shown=2)

    say("Housekeeping, and what was done to the store.")
    kx(project, "clean")
    kx(project, "log", shown=20)


def _edit(path: str) -> None:
    """Rewords the second line and drops the fourth, as an editor would."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    record = json.loads(lines[1])
    record["text"] = record["text"].replace(".", " (reworded).")
    lines[1] = json.dumps(record)
    del lines[3]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description="Run the whole kx road on the example data.")
    parser.add_argument("--keep", metavar="DIR", help="build the project in DIR (created) and keep it")
    args = parser.parse_args()
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        road(os.path.abspath(args.keep))
        print(f"The project is in {args.keep}.")
    else:
        with tempfile.TemporaryDirectory(prefix="kx-road-") as project:
            road(project)
    print("The road is complete.")


if __name__ == "__main__":
    main()
