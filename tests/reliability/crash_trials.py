#!/usr/bin/env python3
"""Kill -9 trials of the workspace store, driven through tarnibar-cli.

Builds a workspace of 10,000 nodes in a data root, then runs write commands
on copies of it and kills each with SIGKILL:

  random  at a random moment within the command's measured duration
  sync    right before (and, in a second pass, right after) its Nth fsync or
          fdatasync, for N = 1, 2, ... until the command completes first
          (needs the preloaded tarni-sync-kill library)

After every kill, tarni-crash-check opens the database as the application
would and checks it; its dump of the tree, trash, history and snapshot list
must equal the dump before the command or the dump after it. A failed trial
prints its seed, command and delay (or sync call) and keeps its data root.
Exits 1 when any trial failed.
"""

import argparse
import collections
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import uuid

COMMANDS = ["rename", "add", "move", "delete", "duplicate", "import", "snapshot-save", "snapshot-restore"]


def fresh_id(rng):
    return str(uuid.UUID(int=rng.getrandbits(128), version=4)).upper()


def export_node(rng, kind, title, sort_order, payload, children=()):
    node_id = fresh_id(rng)
    node = {
        "createdAt": "2026-01-01T00:00:00Z",
        "id": node_id,
        "isCollapsed": False,
        "kind": kind,
        "payload": payload,
        "sortOrder": sort_order,
        "title": title,
        "updatedAt": "2026-01-01T00:00:00Z",
        "workspaceID": "00000000-0000-4000-8000-000000000000",
    }
    for child in children:
        child["node"]["parentID"] = node_id
    return {"children": list(children), "id": fresh_id(rng), "node": node, "originalNodeID": node_id, "title": title}


def link(rng, name, index):
    url = f"https://example.com/{name}/{index}?q=%E2%9C%93"
    return export_node(rng, "webLink", f"{name} link {index} ✓", float(index),
                       {"type": "webLink", "webLink": {"url": url}})


def group(rng, title, index, children):
    return export_node(rng, "group", title, float(index), {"group": {}, "type": "group"}, children)


def export_document(rng, top_groups, sub_groups, links, name):
    """top_groups * (1 + sub_groups * (1 + links)) nodes below an added root."""
    tops = []
    for t in range(top_groups):
        subs = [group(rng, f"{name} {t}.{s}", s, [link(rng, f"{name}-{t}-{s}", i) for i in range(links)])
                for s in range(sub_groups)]
        tops.append(group(rng, f"{name} {t}", t, subs))
    return {"app": "TarniBar", "exportedAt": "2026-01-01T00:00:00Z", "schemaVersion": 1,
            "rootNode": group(rng, name, 0, tops)}


# ISO times, and the local minute in the titles of the snapshots taken
# before an import.
TIME = re.compile(r"\d{4}-\d\d-\d\d(T\d\d:\d\d:\d\d(\.\d+)?Z| \d\d:\d\d)")


def split_dump(dump):
    """The dump's tree, trash and history; and its snapshot list, with the
    times in automatic snapshots' titles left out."""
    tree, _, snapshots = dump.partition("\nsnapshots ")
    return tree, TIME.sub("TIME", snapshots)


def unpruned(snapshots, before, after):
    """Whether a snapshot list is the one after a command that saved a
    snapshot by itself and was killed before the retention rule pruned the
    ones it no longer keeps: the list after, with some of those before it
    still in it (the next snapshot prunes them)."""
    def entries(text):
        return collections.Counter(line for line in text.split("\n")[1:] if line.startswith("  "))
    extra = entries(snapshots) - entries(after)
    return not (entries(after) - entries(snapshots)) and not (extra - entries(before)) and bool(extra)


class Runner:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.env = dict(os.environ)
        self.env["XDG_CONFIG_HOME"] = os.path.join(self.work, "config")
        self.env["XDG_DATA_HOME"] = os.path.join(self.work, "data")
        self.env.pop("TARNI_UITEST_ROOT", None)
        # Without a bus the tool cannot mistake another TarniBar for ours.
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)

    def cli(self, root, *arguments):
        result = subprocess.run([self.args.cli, "--root", root, *arguments], env=self.env,
                                capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit(f"setup: tarnibar-cli {' '.join(arguments)} failed ({result.returncode}): {result.stderr}")
        return result.stdout

    def dump(self, root):
        """(healthy, dump, problems) of the database in root."""
        result = subprocess.run([self.args.check, os.path.join(root, "workspace.sqlite")],
                                capture_output=True, text=True)
        return result.returncode == 0, result.stdout, result.stderr.strip()

    def setup(self):
        rng = random.Random(f"{self.args.seed}/setup")
        base = os.path.join(self.work, "base")
        os.makedirs(base, mode=0o700)
        links = (self.args.nodes // 10 - 1) // 9 - 1
        big = os.path.join(self.work, "workspace.json")
        with open(big, "w") as f:
            json.dump(export_document(rng, 10, 9, links, "Area"), f)
        small = os.path.join(self.work, "import.json")
        with open(small, "w") as f:
            json.dump(export_document(rng, 1, 9, 110, "Imported"), f)
        self.import_file = small

        self.cli(base, "import", big)
        # Automatic snapshots up to what the retention rule keeps (the newest
        # ten), so that the safety snapshot of a trial's restore prunes the
        # oldest and the records only it held are deleted with it.
        filler = self.cli(base, "snapshot", "save", "--title", "Filler").strip()
        for _ in range(10):
            self.cli(base, "snapshot", "restore", filler)
        tree = json.loads(self.cli(base, "tree", "--json"))
        tops = tree[0]["children"]
        self.ids = {
            "first": tops[0]["node"]["id"],
            "link": tops[-1]["children"][4]["children"][7]["node"]["id"],
            "group": tops[1]["children"][2]["node"]["id"],
            "delete": tops[2]["node"]["id"],
            "duplicate": tops[3]["node"]["id"],
            "move": tops[4]["node"]["id"],
            "import": tops[5]["children"][0]["node"]["id"],
        }
        self.snapshot = self.cli(base, "snapshot", "save", "--title", "Before the trials").strip()
        # Edits after the snapshot, so that restoring it changes the tree.
        self.cli(base, "rename", self.ids["first"], "Renamed before the trials")
        self.cli(base, "delete", tops[-2]["children"][0]["node"]["id"])
        self.base = base
        healthy, self.before, problems = self.dump(base)
        if not healthy:
            sys.exit(f"setup: the workspace is not healthy: {problems}")
        self.count = int(self.before.split("\n")[1].split()[1])

    def command(self, name):
        ids = self.ids
        return {
            "rename": ["rename", ids["link"], "Renamed in a trial ✓"],
            "add": ["add", "link", "https://example.org/added", "--title", "Added", "--under", ids["group"]],
            "move": ["move", ids["move"], "--under", ids["first"], "--index", "0"],
            "delete": ["delete", ids["delete"]],
            "duplicate": ["duplicate", ids["duplicate"]],
            "import": ["import", self.import_file, "--under", ids["import"]],
            "snapshot-save": ["snapshot", "save", "--title", "Saved in a trial"],
            "snapshot-restore": ["snapshot", "restore", self.snapshot],
        }[name]

    def copy_base(self, name):
        root = os.path.join(self.work, name)
        shutil.copytree(self.base, root)
        return root

    def start(self, root, name, extra_env=None):
        env = self.env if not extra_env else {**self.env, **extra_env}
        return subprocess.Popen([self.args.cli, "--root", root, *self.command(name)], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def measure(self, names, quiet=False):
        """Each command's duration (the median of three uninterrupted runs, so
        that a moment of load elsewhere does not stretch it) and the dump after
        it, which every run must give alike."""
        self.after, self.duration = getattr(self, "after", {}), {}
        for name in names:
            durations = []
            for run in range(3):
                root = self.copy_base(f"measure-{name}-{run}")
                began = time.monotonic()
                process = self.start(root, name)
                _, err = process.communicate()
                durations.append(time.monotonic() - began)
                if process.returncode != 0:
                    sys.exit(f"setup: {name} failed ({process.returncode}): {err.decode(errors='replace')}")
                healthy, dump, problems = self.dump(root)
                if not healthy:
                    sys.exit(f"setup: {name} left an unhealthy workspace: {problems}")
                if split_dump(dump)[0] == split_dump(self.before)[0] and name != "snapshot-save":
                    sys.exit(f"setup: {name} changed nothing")
                if split_dump(dump) != split_dump(self.after.setdefault(name, dump)):
                    sys.exit(f"setup: two runs of {name} gave different dumps (kept in {self.work})")
                shutil.rmtree(root)
            self.duration[name] = sorted(durations)[1]
            if not quiet:
                print(f"{name}: {self.duration[name] * 1000:.0f} ms uninterrupted")

    def verdict(self, root, name, completed):
        """None when the trial's database is sound, else why not.

        The tree, trash and history must be those before the command or those
        after it. The snapshot list must go with them, except that a command
        that first saves a snapshot of the tree by itself (a restore, a large
        import) may have been killed after saving it: the tree is then as
        before, and the snapshot list as after, or as after with snapshots
        the retention rule was about to prune still in it.
        """
        healthy, dump, problems = self.dump(root)
        if not healthy:
            return f"damaged: {problems}"
        tree, snapshots = split_dump(dump)
        before, before_snapshots = split_dump(self.before)
        after, after_snapshots = split_dump(self.after[name])
        if tree == after and snapshots == after_snapshots:
            return None
        if not completed and tree == before and (snapshots in (before_snapshots, after_snapshots) or
                                                 unpruned(snapshots, before_snapshots, after_snapshots)):
            return None
        for file, text in (("dump.txt", dump), ("dump-before.txt", self.before),
                           ("dump-after.txt", self.after[name])):
            with open(os.path.join(root, file), "w") as f:
                f.write(text)
        return ("the command reported success but the state is not the one after it" if completed else
                "the state is neither the one before the command nor the one after it") + \
            f" (compare dump.txt with dump-before.txt and dump-after.txt in {root})"

    def random_trials(self, names):
        failures = killed = 0
        indices = [self.args.only] if self.args.only is not None else range(self.args.trials)
        for i in indices:
            # The machine's load changes over a long run: measure again now
            # and then, so that the delays keep spanning the commands.
            if i % 100 == 0 and i > 0:
                self.measure(names, quiet=True)
            rng = random.Random(f"{self.args.seed}/{i}")
            name = rng.choice(names)
            delay = rng.uniform(0, self.duration[name])
            root = self.copy_base(f"trial-{i}")
            process = self.start(root, name)
            try:
                process.wait(timeout=delay)
            except subprocess.TimeoutExpired:
                process.send_signal(signal.SIGKILL)
            process.wait()
            _, err = process.communicate()
            was_killed = process.returncode == -signal.SIGKILL
            killed += was_killed
            reason = None
            if not was_killed and process.returncode != 0:
                reason = f"the command failed ({process.returncode}): {err.decode(errors='replace').strip()}"
            reason = reason or self.verdict(root, name, completed=not was_killed)
            if reason:
                failures += 1
                print(f"FAIL seed={self.args.seed} trial={i} command={name} delay={delay:.4f}s: {reason}; "
                      f"data root kept: {root}", flush=True)
            else:
                shutil.rmtree(root)
            if (i + 1) % 50 == 0:
                print(f"{i + 1} trials, {killed} killed, {failures} failed", flush=True)
        total = len(indices)
        print(f"random: {total} trials ({killed} killed before the command ended), {failures} failed")
        return failures

    def sync_trials(self, names):
        failures = 0
        for name in names:
            for after in (False, True):
                n = 1
                while True:
                    root = self.copy_base(f"sync-{name}-{'after' if after else 'before'}-{n}")
                    process = self.start(root, name, {
                        "LD_PRELOAD": self.args.shim, "TARNI_SYNC_KILL_AT": str(n),
                        "TARNI_SYNC_KILL_AFTER": "1" if after else "0"})
                    _, err = process.communicate()
                    was_killed = process.returncode == -signal.SIGKILL
                    reason = None
                    if not was_killed and process.returncode != 0:
                        reason = f"the command failed ({process.returncode}): {err.decode(errors='replace').strip()}"
                    reason = reason or self.verdict(root, name, completed=not was_killed)
                    if reason:
                        failures += 1
                        print(f"FAIL seed={self.args.seed} command={name} killed "
                              f"{'after' if after else 'before'} sync call {n}: {reason}; data root kept: {root}",
                              flush=True)
                    else:
                        shutil.rmtree(root)
                    if not was_killed:
                        break
                    n += 1
                print(f"sync: {name}: {n - 1} sync calls, killed {'after' if after else 'before'} each")
        print(f"sync: {failures} failed")
        return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cli", required=True, help="tarnibar-cli")
    parser.add_argument("--check", required=True, help="tarni-crash-check")
    parser.add_argument("--shim", help="the tarni-sync-kill library (sync mode)")
    parser.add_argument("--mode", choices=["random", "sync"], default="random")
    parser.add_argument("--trials", type=int, default=50)
    parser.add_argument("--only", type=int, help="run only this random trial (to reproduce a failure)")
    parser.add_argument("--seed", default=str(int(time.time())))
    parser.add_argument("--nodes", type=int, default=10000, help="workspace size, roughly")
    parser.add_argument("--commands", default=",".join(COMMANDS))
    args = parser.parse_args()
    names = args.commands.split(",")
    if unknown := set(names) - set(COMMANDS):
        parser.error(f"unknown commands: {', '.join(sorted(unknown))}")
    if args.mode == "sync" and not args.shim:
        parser.error("sync mode needs --shim")
    if args.nodes < 1000:
        parser.error("--nodes must be at least 1,000")

    args.work = tempfile.mkdtemp(prefix="tarni-crash-")
    runner = Runner(args)
    runner.setup()
    print(f"seed {args.seed}: a workspace of {runner.count} nodes in {args.work}")
    runner.measure(names)
    failures = runner.random_trials(names) if args.mode == "random" else runner.sync_trials(names)
    if failures == 0:
        shutil.rmtree(args.work)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
