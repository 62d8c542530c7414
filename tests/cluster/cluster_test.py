#!/usr/bin/python3
# kestran-cluster against a real Dask scheduler and two real workers on
# loopback: its images against a local kestran-extract run, a worker killed in
# the middle, Ctrl+C. Exits 77 (skipped) when Dask distributed is missing.
#
#   cluster_test.py --stage BUILD/stage --fixtures BUILD/tests/kestran_cluster_pdfs
import argparse
import csv
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

try:
    from distributed import Client
except ImportError:
    print("skipped: Dask distributed is missing (python3-distributed)")
    sys.exit(77)

ARGS = None
SLOW_FILES = 6  # long enough a run to stop it or lose a worker in the middle


def files_in(folder):
    """name -> bytes of the files directly in `folder`."""
    found = {}
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                found[name] = f.read()
    return found


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("%s did not happen within %d s" % (what, seconds))
        time.sleep(0.05)


class Cluster(unittest.TestCase):
    """One scheduler and two workers for the whole class; every process is
    in a session of its own and its whole group is killed at the end."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="kestran-cluster-test-")
        cls.env = dict(os.environ, HOME=cls.dir)
        cls.extract = os.path.join(ARGS.stage, "bin", "kestran-extract")
        cls.cluster = os.path.join(ARGS.stage, "bin", "kestran-cluster")
        cls.processes = []
        cls.pdfs = os.path.join(cls.dir, "pdfs")
        cls.slow = os.path.join(cls.dir, "slow")
        subprocess.run([ARGS.fixtures, cls.pdfs], check=True)
        subprocess.run([ARGS.fixtures, cls.slow, str(SLOW_FILES)], check=True)
        # The reference: the same folders through one local kestran-extract.
        cls.reference = {}
        for name, folder in (("pdfs", cls.pdfs), ("slow", cls.slow)):
            out = os.path.join(cls.dir, "local-" + name)
            subprocess.run([cls.extract, "-q", "-o", out, folder], env=cls.env)
            cls.reference[name] = files_in(out)
        cls.scheduler_file = os.path.join(cls.dir, "scheduler.json")
        cls.start([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                   "--dashboard-address", "127.0.0.1:0", "--scheduler-file", cls.scheduler_file])
        wait_until(lambda: os.path.exists(cls.scheduler_file), 60, "the scheduler's start")
        with open(cls.scheduler_file) as f:
            cls.address = json.load(f)["address"]
        cls.workers = [cls.start_worker() for _ in range(2)]
        with Client(cls.address, timeout="30s") as client:
            client.wait_for_workers(2, timeout=60)

    @classmethod
    def start(cls, command):
        process = subprocess.Popen(command, env=cls.env, start_new_session=True, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        cls.processes.append(process)
        return process

    @classmethod
    def start_worker(cls):
        # No nanny: the worker is the process the test kills.
        return cls.start([sys.executable, "-m", "distributed.cli.dask_worker", cls.address, "--nthreads", "1",
                          "--no-nanny", "--host", "127.0.0.1", "--no-dashboard", "--local-directory", cls.dir])

    @classmethod
    def tearDownClass(cls):
        for process in cls.processes:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def run_cluster(self, out, folder, *extra):
        return subprocess.Popen([self.cluster, "--scheduler", self.address, "-o", out, *extra, folder], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def check_whole(self, out, reference, err):
        """Every file in `out` is one the local run wrote, with its bytes: no
        temporary file, no " (2)", nothing half-written. `err`: what
        kestran-cluster said, shown with a failure."""
        written = files_in(out)
        written.pop("kestran-summary.json", None)
        for name, data in written.items():
            self.assertIn(name, reference, "a file the local run did not write\n" + err)
            self.assertEqual(data, reference[name], name + "\n" + err)
        self.assertFalse(os.path.exists(os.path.join(out, ".kestran-cluster")), "the work folder is left\n" + err)
        return written

    def test_1_same_images_as_a_local_run_and_failures_named(self):
        out = os.path.join(self.dir, "out1")
        manifest = os.path.join(self.dir, "images.csv")
        run = self.run_cluster(out, self.pdfs, "--manifest", manifest)
        _, err = run.communicate(timeout=120)
        self.assertEqual(run.returncode, 1, err)
        self.assertEqual(self.check_whole(out, self.reference["pdfs"], err), self.reference["pdfs"])
        with open(os.path.join(out, "kestran-summary.json"), encoding="utf-8") as f:
            summary = json.load(f)
        failed = {os.path.basename(e["path"]): e["reason"] for e in summary["files"] if e["status"] != "done"}
        self.assertEqual(failed, {"39-damaged.pdf": "damaged beyond repair", "40-locked.pdf": "needs a password"})
        self.assertEqual(len(summary["files"]), 40)
        self.assertEqual(summary["totals"]["images_written"], len(self.reference["pdfs"]))
        local = os.path.join(self.dir, "local-images.csv")
        subprocess.run([self.extract, "-q", "-o", os.path.join(self.dir, "again"), "--manifest", local, self.pdfs],
                       env=self.env)
        with open(manifest, newline="") as a, open(local, newline="") as b:
            self.assertEqual(list(csv.reader(a)), list(csv.reader(b)), "one row per image, in file order")

    def test_2_ctrl_c_stops_within_seconds_leaving_nothing_half_written(self):
        out = os.path.join(self.dir, "out2")
        run = self.run_cluster(out, self.slow)
        wait_until(lambda: os.path.isdir(out) and len(os.listdir(out)) > 20, 60, "the first images")
        run.send_signal(signal.SIGINT)
        stopped = time.monotonic()
        _, err = run.communicate(timeout=30)
        self.assertLess(time.monotonic() - stopped, 10, "stopping took too long\n" + err)
        self.assertEqual(run.returncode, 130, err)
        written = self.check_whole(out, self.reference["slow"], err)
        self.assertLess(len(written), len(self.reference["slow"]), "the run was not stopped")
        with open(os.path.join(out, "kestran-summary.json"), encoding="utf-8") as f:
            self.assertTrue(json.load(f)["interrupted"])

    def test_3_a_worker_killed_in_the_middle(self):
        out = os.path.join(self.dir, "out3")
        run = self.run_cluster(out, self.slow)
        wait_until(lambda: os.path.isdir(out) and len(os.listdir(out)) > 20, 60, "the first images")
        self.workers[0].kill()
        _, err = run.communicate(timeout=120)
        self.assertEqual(run.returncode, 1, err)  # the damaged and the locked file
        # The retried task finds the images of its first attempt already there.
        self.assertEqual(self.check_whole(out, self.reference["slow"], err), self.reference["slow"])
        with open(os.path.join(out, "kestran-summary.json"), encoding="utf-8") as f:
            totals = json.load(f)["totals"]
        self.assertEqual((totals["done"], totals["failed"]), (totals["files"] - 2, 2),
                         "every file ran to its end\n" + err)


class Merging(unittest.TestCase):
    """The driver's own pieces that need no cluster, on hand-written samples."""

    @classmethod
    def setUpClass(cls):
        from importlib.machinery import SourceFileLoader
        sys.dont_write_bytecode = True  # nothing written beside the staged program
        driver = os.path.join(ARGS.stage, "bin", "kestran-cluster")
        cls.driver = SourceFileLoader("kestran_cluster", driver).load_module()

    def test_manifests_merge_in_task_order_with_one_header(self):
        header = b"source,page,index,output file\r\n"
        cases = [
            ("CSV, CR LF, a quoted field over two lines, an empty part, no last newline", False,
             [header + b'a.pdf,1,1,"a-001\r\n-01.png"\r\n', None, header, header + b"b.pdf,2,1,b-002-01.png"],
             header + b'a.pdf,1,1,"a-001\r\n-01.png"\r\nb.pdf,2,1,b-002-01.png\n'),
            ("JSON Lines", True, [b'{"source": "a.pdf"}\n', b"", b'{"source": "b.pdf"}'],
             b'{"source": "a.pdf"}\n{"source": "b.pdf"}\n'),
        ]
        for name, jsonl, parts, merged in cases:
            self.assertEqual(self.driver.merge_manifests(parts, jsonl), merged, name)

    def test_tasks_group_consecutive_files_and_leave_large_ones_alone(self):
        mib = 1 << 20
        sizes = [1 * mib] * 60 + [100 * mib] + [30 * mib] * 3
        tasks = self.driver.group_tasks([("f%d" % i, size) for i, size in enumerate(sizes)])
        self.assertEqual([len(t) for t in tasks], [50, 10, 1, 2, 1])
        self.assertEqual([i for t in tasks for i, _ in t], list(range(len(sizes))), "in the order of the files")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--stage", required=True)
    parser.add_argument("--fixtures", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
