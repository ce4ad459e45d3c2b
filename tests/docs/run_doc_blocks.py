#!/usr/bin/env python3
"""Runs every command block of the documentation, so that no documented
command drifts from what the programs do.

    run_doc_blocks.py --build BUILD_DIR [--source SOURCE_DIR] [FILE...]

Reads README.md, docs/*.md and man/*.[1-8] (or the FILEs named). In
Markdown, every code block is fenced and says what it holds:

    ```sh                     commands: run, and each must succeed
    ```sh background          a server: started, and kept until the next one or
                              the end of the file
    ```sh no-test: REASON     commands that cannot run here (the reason says why)
    ```text  ```toml  ...     anything else: not run

In a man page, the comment line before an .EX block says the same
(.\\" sh, .\\" sh no-test: REASON, .\\" text). An unmarked block, or an
indented Markdown code block, is an error: nothing is skipped unseen.

Each file's blocks run in order with bash (-e -o pipefail) in a scratch
directory of their own, with the build's QuillmarshSrv, qmclient and
qmpasswd first on the PATH, and with these stand-ins, so that a test needs
neither fixed ports nor root:
  - the ports 8023, 8024, 8025, 8080, 8443, 9100 and 4222 (NATS's) are
    free ports picked for the file;
  - /etc/quillmarsh is a directory in the scratch directory;
  - build-serve/ is the build under test, and scripts/serve.sh starts its
    server (CI runs the real serve.sh, which builds it); examples/ and
    scripts/watch.sh are the source tree's.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

DOC_PORTS = ("8023", "8024", "8025", "8080", "8443", "9100", "4222")
BLOCK_TIMEOUT_S = 120
SERVER_READY_S = 30


class Block:
    def __init__(self, path, line, info, text):
        self.path, self.line, self.info, self.text = path, line, info.strip(), text

    def where(self):
        return "%s:%d" % (self.path, self.line)


def markdown_blocks(path, lines):
    """Fenced blocks; an indented code block is reported as an error."""
    blocks, errors = [], []
    fence = None
    list_indent = 0
    previous_blank = True
    for number, line in enumerate(lines, 1):
        stripped = line.lstrip(" ")
        indent = len(line) - len(stripped)
        if fence:
            if stripped.startswith(fence["marker"]) and not stripped.strip("`~ \n"):
                blocks.append(Block(path, fence["line"], fence["info"], "".join(fence["body"])))
                fence = None
            else:
                fence["body"].append(line[min(indent, fence["indent"]):])
            continue
        if stripped.startswith("```") or stripped.startswith("~~~"):
            marker = stripped[:3]
            fence = {"marker": marker, "line": number, "indent": indent,
                     "info": stripped[3:].strip(), "body": []}
            previous_blank = False
            continue
        if not line.strip():
            previous_blank = True
            continue
        item = re.match(r"( *)([-*]|\d+\.) +", line)
        if item:
            list_indent = len(item.group(0))
        elif indent == 0:
            list_indent = 0
        elif previous_blank and indent >= list_indent + 4:
            errors.append("%s:%d: an indented code block: fence it and say what it holds" % (path, number))
        previous_blank = False
    if fence:
        errors.append("%s:%d: a fence that is never closed" % (path, fence["line"]))
    return blocks, errors


GROFF = [("\\-", "-"), ("\\e", "\\"), ("\\(aq", "'"), ("\\(dq", '"'), ("\\&", ""), ("\\\\", "\\")]


def man_blocks(path, lines):
    """.EX ... .EE blocks, each marked by the comment line before it."""
    blocks, errors = [], []
    mark, start, body = None, None, None
    for number, line in enumerate(lines, 1):
        if body is not None:
            if line.startswith(".EE"):
                blocks.append(Block(path, start, mark or "", "".join(body)))
                body, mark = None, None
            else:
                for escaped, plain in GROFF:
                    line = line.replace(escaped, plain)
                body.append(line)
        elif line.startswith(".EX"):
            start, body = number, []
            if mark is None:
                errors.append("%s:%d: an .EX block without a .\\\" sh or .\\\" text line before it" % (path, number))
        elif line.startswith('.\\"'):
            mark = line[3:].strip()
        elif not line.startswith((".RS", ".PP", ".IP", ".in")):
            mark = None
    return blocks, errors


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return str(probe.getsockname()[1])


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", int(port)), timeout=1):
            return True
    except OSError:
        return False


class Document:
    """One file's scratch directory, ports and background servers."""

    def __init__(self, build, source):
        self.dir = tempfile.mkdtemp(prefix="quillmarsh-docs-")
        self.ports = {port: free_port() for port in DOC_PORTS}
        self.servers = []
        os.symlink(build, os.path.join(self.dir, "build-serve"))
        os.makedirs(os.path.join(self.dir, "scripts"))
        serve = os.path.join(self.dir, "scripts", "serve.sh")
        with open(serve, "w") as stand_in:
            stand_in.write('#!/bin/sh\nexec "%s/QuillmarshSrv" "$@"\n' % build)
        os.chmod(serve, 0o755)
        os.symlink(os.path.join(source, "scripts", "watch.sh"), os.path.join(self.dir, "scripts", "watch.sh"))
        os.symlink(os.path.join(source, "examples"), os.path.join(self.dir, "examples"))
        self.env = dict(os.environ)
        for name in ("QM_LOGIN", "QM_PASSWORD", "QM_SERVER_COMMAND"):
            self.env.pop(name, None)
        self.env["PATH"] = os.pathsep.join([build, os.path.join(build, "tools"), self.env.get("PATH", "")])
        self.env["HOME"] = self.dir

    def prepare(self, text):
        for port, free in self.ports.items():
            text = re.sub(r"(?<![0-9])%s(?![0-9])" % port, free, text)
        return text.replace("/etc/quillmarsh", os.path.join(self.dir, "etc", "quillmarsh"))

    def run(self, block):
        """None on success, else what went wrong."""
        text = self.prepare(block.text)
        command = ["bash", "-e", "-o", "pipefail", "-c", text]
        if block.info.split()[1:2] == ["background"]:
            return self.start(command, text)
        try:
            done = subprocess.run(command, cwd=self.dir, env=self.env, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, errors="replace", timeout=BLOCK_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            return "still running after %d s" % BLOCK_TIMEOUT_S
        if done.returncode != 0:
            return "exit code %d\n--- stdout\n%s--- stderr\n%s" % (done.returncode, done.stdout, done.stderr)
        return None

    def start(self, command, text):
        self.stop_servers()
        output = open(os.path.join(self.dir, "background-%d.txt" % len(self.servers)), "w+")
        server = subprocess.Popen(command, cwd=self.dir, env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
        self.servers.append(server)
        ports = [free for free in self.ports.values() if free in text]
        if not ports:
            return "a background block must name the port it serves"
        deadline = time.monotonic() + SERVER_READY_S
        while not listening(ports[0]):
            if server.poll() is not None or time.monotonic() > deadline:
                output.seek(0)
                return "the server did not listen on %s\n%s" % (ports[0], output.read())
            time.sleep(0.1)
        return None

    def stop_servers(self):
        for server in self.servers:
            if server.poll() is None:
                os.killpg(server.pid, signal.SIGTERM)
                try:
                    server.wait(5)
                except subprocess.TimeoutExpired:
                    os.killpg(server.pid, signal.SIGKILL)
                    server.wait()

    def close(self):
        self.stop_servers()
        shutil.rmtree(self.dir, ignore_errors=True)


def check_mark(block):
    """What to do with a block: 'run', 'skip', or an error."""
    words = block.info.split(None, 1)
    if not words:
        return "%s: say what the block holds: sh, or text, toml, ..." % block.where()
    if words[0] != "sh":
        return "skip"
    rest = words[1] if len(words) > 1 else ""
    if rest.startswith("no-test"):
        reason = rest[len("no-test"):].lstrip(":").strip()
        return "skip" if reason else "%s: no-test needs a reason: ```sh no-test: why" % block.where()
    if rest not in ("", "background"):
        return "%s: unknown mark '%s'" % (block.where(), rest)
    return "run"


def documents(source, named):
    if named:
        return [os.path.abspath(name) for name in named]
    found = [os.path.join(source, "README.md")]
    for folder, pattern in (("docs", r".*\.md$"), ("man", r".*\.[1-8]$")):
        names = sorted(os.listdir(os.path.join(source, folder)))
        found += [os.path.join(source, folder, name) for name in names if re.match(pattern, name)]
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    parser.add_argument("files", nargs="*")
    options = parser.parse_args()
    build, source = os.path.abspath(options.build), os.path.abspath(options.source)
    failures = 0
    for path in documents(source, options.files):
        with open(path, encoding="utf-8") as file:
            lines = file.readlines()
        shown = os.path.relpath(path, source)
        reader = man_blocks if re.search(r"\.[1-8]$", path) else markdown_blocks
        blocks, errors = reader(shown, lines)
        errors += [mark for mark in map(check_mark, blocks) if mark not in ("run", "skip")]
        for error in errors:
            print(error)
        failures += len(errors)
        ran = 0
        document = Document(build, source)
        try:
            for block in blocks:
                if check_mark(block) != "run":
                    continue
                problem = document.run(block)
                ran += 1
                if problem:
                    failures += 1
                    print("%s: failed: %s\n%s" % (block.where(), problem, block.text))
                    break
        finally:
            document.close()
        print("%s: %d blocks run of %d" % (shown, ran, len(blocks)))
    print("documentation blocks: %s" % ("all passed" if failures == 0 else "%d failed" % failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
