"""tdssim checked with clients nobody here wrote: FreeTDS tsql/fisql, unixODBC isql with the
FreeTDS ODBC driver, and python3-tds. Each logs in, runs the process query and reads typed
rows; a wrong password gives 18456; KILL 999 gives 6106; a cancelled slow statement stops.

Run: python3 test_clients.py --tdssim PATH/TO/tdssim
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tdssim import ADMIN, PROCESS_QUERY, VIEWER, TdsSim  # noqa: E402

TDSSIM = None
COLUMNS = ["spid", "blocked", "name", "waittime", "lastwaittype", "waitresource", "open_tran",
           "status", "hostname", "program_name", "cmd", "loginame", "cpu", "physical_io",
           "memusage"]


def run(args, stdin, timeout=30, env=None):
    return subprocess.run(args, input=stdin, capture_output=True, text=True, timeout=timeout,
                          env=env)


def needs(tool):
    return unittest.skipUnless(shutil.which(tool), tool + " is not installed")


class SimCase(unittest.TestCase):
    scenario = "demo"

    def setUp(self):
        self.sim = TdsSim(TDSSIM, self.scenario)

    def tearDown(self):
        self.sim.__exit__(None, None, None)

    def log(self, event, **fields):
        return [e for e in self.sim.log_entries()
                if e["event"] == event and all(e.get(k) == v for k, v in fields.items())]


@needs("tsql")
class Tsql(SimCase):
    def tsql(self, sql, user=ADMIN, app="TsqlProbe"):
        return run(["tsql", "-H", "127.0.0.1", "-p", str(self.sim.port()), "-U", user[0],
                    "-P", user[1], "-a", app], sql + "\ngo\n")

    def test_process_query_lists_blocking(self):
        out = self.tsql(PROCESS_QUERY.replace("\r\n", "\n")).stdout
        lines = out.splitlines()
        header = next(i for i, l in enumerate(lines) if l.endswith("spid\tblocked\tname\twaittime"
                                                                   "\tlastwaittype\twaitresource"
                                                                   "\topen_tran\tstatus\thostname"
                                                                   "\tprogram_name\tcmd\tloginame"
                                                                   "\tcpu\tphysical_io\tmemusage"))
        rows = [l.split("\t") for l in lines[header + 1:] if l.count("\t") == 14]
        self.assertGreater(len(rows), 10)
        blocked = [r for r in rows if r[1] != "0"]
        self.assertTrue(blocked, "the demo always has some blocking")
        self.assertTrue(all(int(r[3]) > 0 for r in blocked), "blocked rows have wait times")
        self.assertTrue(any(r[9].startswith("TsqlProbe") for r in rows), "tsql sees itself")
        self.assertEqual(len(rows[0][4]), 32, "nchar(32) arrives padded")
        login = self.log("login")[0]
        self.assertEqual((login["app"], login["user"]), ("TsqlProbe", "sa"))
        self.assertIn("order by blocked, waittime", self.log("batch")[0]["text"])

    def test_wrong_password_gives_18456(self):
        out = self.tsql("select 1", user=("sa", "nope"))
        self.assertIn("Msg 18456 (severity 14, state 1)", out.stdout + out.stderr)
        self.assertIn("Login failed for user 'sa'.", out.stdout + out.stderr)
        self.sim.wait_for_log(lambda e: e["event"] == "login-failed")
        self.assertEqual(self.log("login-failed")[0]["reason"], "wrong password")

    def test_every_tds_version_from_7_1(self):
        for version, logged in (("7.1", "7.1"), ("7.2", "7.2"), ("7.3", "7.3B"), ("7.4", "7.4")):
            out = run(["tsql", "-H", "127.0.0.1", "-p", str(self.sim.port()), "-U", ADMIN[0],
                       "-P", ADMIN[1], "-o", "v"], PROCESS_QUERY.replace("\r\n", "\n") +
                      "\ngo\nKILL 999\ngo\n", env=dict(os.environ, TDSVER=version))
            self.assertIn("using TDS version " + version, out.stdout + out.stderr)
            self.assertRegex(out.stdout, r"\(\d\d rows affected\)")
            self.assertIn("Msg 6106", out.stderr)
            self.assertEqual(self.log("login")[-1]["tds"], logged)

    def test_tds_7_0_without_prelogin(self):
        # FreeTDS sends no PRELOGIN for 7.0 and reads 7.0 metadata (no collations).
        out = run(["tsql", "-H", "127.0.0.1", "-p", str(self.sim.port()), "-U", ADMIN[0],
                   "-P", ADMIN[1], "-o", "v"], PROCESS_QUERY.replace("\r\n", "\n") +
                  "\ngo\nselect spid, status from sys.sysprocesses where spid = 51\ngo\n",
                  env=dict(os.environ, TDSVER="7.0"))
        self.assertIn("using TDS version 7.0", out.stdout + out.stderr)
        self.assertNotIn("out of sync", out.stdout + out.stderr)
        self.assertRegex(out.stdout, r"\(\d\d rows affected\)")
        self.assertIn("51\tsleeping", out.stdout)
        self.assertEqual(self.log("login")[-1]["tds"], "7.0")
        self.assertEqual(self.log("encryption")[0]["mode"], "none")
        self.assertEqual(self.log("prelogin"), [])

    def test_a_dbas_own_select_over_sysprocesses(self):
        cases = [
            # (statement, header, a check on the rows)
            ("select spid, blocked, waittime from master..sysprocesses",
             "spid\tblocked\twaittime", lambda rows: self.assertGreater(len(rows), 10)),
            ("select waittime, spid from sys.sysprocesses where spid = 52",
             "waittime\tspid", lambda rows: self.assertEqual([r[1] for r in rows], ["52"])),
            ("select spid, blocked from master.dbo.sysprocesses p where p.blocked <> 0 "
             "order by spid desc", "spid\tblocked",
             lambda rows: self.assertEqual([r[0] for r in rows],
                                           sorted((r[0] for r in rows), key=int, reverse=True))),
            ("select spid from sysprocesses where dbid = 1 and spid < 5 order by 1",
             "spid", lambda rows: self.assertEqual([r[0] for r in rows], ["1", "2", "3", "4"])),
            ("SELECT * FROM sys.sysprocesses WHERE spid = 51", "spid\tkpid\tblocked\twaittype",
             lambda rows: self.assertEqual(len(rows[0]), 33)),
        ]
        for sql, header, check in cases:
            with self.subTest(sql=sql):
                out = self.tsql(sql)
                lines = out.stdout.splitlines()
                at = next(i for i, l in enumerate(lines) if l.endswith(header) or
                          l.startswith(header + "\t") or l == header or header in l)
                rows = [l.split("\t") for l in lines[at + 1:] if not l.startswith("(")
                        and l.strip() and not l.endswith("> ")]
                rows = [r for r in rows if r[0].strip().lstrip("-").isdigit()]
                check(rows)
                self.assertEqual(out.stderr.count("Msg "), 0, out.stderr)
        out = self.tsql("select spid, nosuch from sysprocesses")
        self.assertIn("Msg 207 (severity 16, state 1)", out.stderr)
        self.assertIn("Invalid column name 'nosuch'.", out.stderr)
        out = self.tsql("select spid from sysprocesses where status = 'sleeping'")
        self.assertIn("Msg 102", out.stderr)

    def test_sp_who_in_a_batch(self):
        out = self.tsql("exec sp_who\ngo\nsp_who 51")
        self.assertIn("spid\tecid\tstatus\tloginame\thostname\tblk\tdbname\tcmd\trequest_id",
                      out.stdout)
        self.assertIn("(return status = 0)", out.stdout)
        self.assertRegex(out.stdout, r"\n51\t0\tsleeping +\tpayroll")
        self.assertNotIn("Msg ", out.stderr)

    def test_kill_and_inputbuffer(self):
        # tsql prints server messages on standard error.
        out = self.tsql("KILL 999\ngo\nDBCC INPUTBUFFER(51)")
        self.assertIn("Msg 6106 (severity 16, state 2)", out.stderr)
        self.assertIn("Process ID 999 is not an active process ID.", out.stderr)
        self.assertIn("Language Event\t0\tBEGIN TRAN\nUPDATE dbo.Salaries", out.stdout)
        out = self.tsql("KILL 51", user=VIEWER)
        self.assertIn("Msg 6102 (severity 14, state 1)", out.stderr)


@needs("fisql")
class Fisql(SimCase):
    def test_timed_out_statement_stops(self):
        # db-lib gives up on a statement after -t seconds; tdssim holds it for ever.
        conf = tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False)
        conf.write("[sim]\n\thost = 127.0.0.1\n\tport = %d\n\ttds version = 7.4\n"
                   % self.sim.port())
        conf.close()
        try:
            self.sim.control("fault 0 hang")
            start = time.monotonic()
            out = run(["fisql", "-S", "sim", "-U", ADMIN[0], "-P", ADMIN[1], "-t", "1"],
                      "select 1\ngo\n", env=dict(os.environ, FREETDSCONF=conf.name))
            self.assertLess(time.monotonic() - start, 20)
            self.assertIn("timed out", out.stdout + out.stderr)
            self.assertEqual(self.log("batch")[0]["text"].strip(), "select 1")
        finally:
            os.unlink(conf.name)


@needs("isql")
class Isql(SimCase):
    def isql(self, sql, user=ADMIN, app="IsqlProbe"):
        conn = ("Driver=FreeTDS;Server=127.0.0.1;Port=%d;UID=%s;PWD=%s;TDS_Version=7.4;APP=%s"
                % (self.sim.port(), user[0], user[1], app))
        return run(["isql", "-v", "-b", "-d|", "-k", conn], sql + "\n")

    def test_process_query_through_prepared_rpc(self):
        one_line = PROCESS_QUERY.replace("\r\n", " ")
        out = self.isql(one_line)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        rows = [l.split("|") for l in out.stdout.splitlines() if l.count("|") == 14]
        self.assertGreater(len(rows), 10)
        self.assertTrue(any(r[1] != "0" for r in rows))
        self.assertTrue(any(r[9].startswith("IsqlProbe") for r in rows))
        # isql prepares: the statement arrives inside sp_prepexec.
        rpc = self.log("rpc", proc="sp_prepexec")
        self.assertEqual(rpc[0]["text"], one_line)
        self.assertEqual(self.log("login")[0]["app"], "IsqlProbe")

    def test_wrong_password_fails_login(self):
        out = self.isql("select 1", user=("sa", "nope"))
        self.assertNotEqual(out.returncode, 0)
        self.assertIn("Login failed for user 'sa'.", out.stdout + out.stderr)
        # The client may be gone before the simulator has written its log line.
        self.sim.wait_for_log(lambda e: e["event"] == "login-failed")
        self.assertEqual(len(self.log("login-failed")), 1)

    def test_kill_999(self):
        out = self.isql("KILL 999")
        self.assertIn("Process ID 999 is not an active process ID.", out.stdout + out.stderr)


class Pytds(SimCase):
    def setUp(self):
        try:
            import pytds  # noqa: F401
        except ImportError:
            self.skipTest("python3-tds is not installed")
        super().setUp()

    def connect(self, user=ADMIN, timeout=5):
        import pytds
        return pytds.connect("127.0.0.1", port=self.sim.port(), user=user[0], password=user[1],
                             appname="PytdsProbe", login_timeout=5, timeout=timeout)

    def test_process_query_types(self):
        with self.connect() as conn:
            cur = conn.cursor()
            cur.execute(PROCESS_QUERY)
            self.assertEqual([d[0] for d in cur.description], COLUMNS)
            # smallint 52, nvarchar 231, bigint 127, int 56 (nchar reads as 231 in pytds)
            self.assertEqual([d[1] for d in cur.description],
                             [52, 52, 231, 127, 231, 231, 52, 231, 231, 231, 231, 231, 56, 127, 56])
            rows = cur.fetchall()
            blocked = [r for r in rows if r[1] != 0]
            self.assertTrue(blocked)
            self.assertTrue(all(isinstance(r[3], int) for r in rows))
            me = [r for r in rows if r[9].rstrip() == "PytdsProbe"]
            self.assertEqual(len(me), 1)
            self.assertEqual(len(me[0][9]), 128)
            self.assertEqual(me[0][6], 1, "pytds opened a transaction at login")
        self.assertEqual(self.log("login")[0]["app"], "PytdsProbe")

    def test_wrong_password_gives_18456(self):
        import pytds
        with self.assertRaises(pytds.OperationalError) as ctx:
            self.connect(user=("viewer", "nope"))
        self.assertEqual(ctx.exception.msg_no, 18456)

    def test_kill_999_gives_6106(self):
        import pytds
        with self.connect() as conn:
            with self.assertRaises(pytds.OperationalError) as ctx:
                conn.cursor().execute("KILL 999")
            self.assertEqual(ctx.exception.msg_no, 6106)

    def test_parameters_arrive_by_rpc_and_are_bound(self):
        import pytds
        with self.connect() as conn:
            cur = conn.cursor()
            cur.execute("DBCC INPUTBUFFER(%s)", (52,))
            self.assertTrue(cur.fetchall()[0][2].startswith("UPDATE dbo.Salaries SET Bonus"))
            with self.assertRaises(pytds.OperationalError) as ctx:
                cur.execute("KILL %s", (999,))
            self.assertEqual(ctx.exception.msg_no, 6106)
        self.assertEqual(self.log("rpc", proc="sp_executesql")[0]["text"], "DBCC INPUTBUFFER(@P1)")

    def test_sp_who_by_rpc_answers_as_in_a_batch(self):
        with self.connect() as conn:
            cur = conn.cursor()
            cur.callproc("sp_who")
            by_rpc = cur.fetchall()
            names = [d[0] for d in cur.description]
            cur.execute("exec sp_who")
            by_batch = cur.fetchall()
            self.assertEqual(names, ["spid", "ecid", "status", "loginame", "hostname", "blk",
                                     "dbname", "cmd", "request_id"])
            self.assertEqual([r[0] for r in by_rpc], [r[0] for r in by_batch])
            self.assertIn(52, [r[0] for r in by_rpc])
            cur.callproc("sp_who", ("payroll",))
            self.assertTrue(all(r[3].rstrip() == "payroll" for r in cur.fetchall()))
        self.assertEqual(self.log("rpc", proc="sp_who")[0]["params"], "0")

    def test_not_null_columns_and_nullable_ones(self):
        with self.connect() as conn:
            cur = conn.cursor()
            cur.execute("select spid, blocked, login_time, page_resource from sysprocesses "
                        "where spid = 51")
            # (name, type code, ..., null_ok)
            self.assertEqual([(d[0], d[6]) for d in cur.description],
                             [("spid", False), ("blocked", True), ("login_time", False),
                              ("page_resource", True)])
            row = cur.fetchall()[0]
            self.assertEqual(row[0], 51)
            self.assertEqual(row[3], None)
            self.assertGreater(row[2].year, 2000)

    def test_timed_out_statement_is_cancelled_and_connection_goes_on(self):
        with self.connect(timeout=1) as conn:
            cur = conn.cursor()
            self.sim.control("fault 0 hang")
            with self.assertRaises(Exception):
                cur.execute("select 1")
            self.sim.wait_for_log(lambda e: e["event"] == "attention" and e["pending"] == "yes")
            self.sim.control("clear 0")
            cur.execute("select 7")
            self.assertEqual(cur.fetchall(), [(7,)])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--tdssim", required=True)
    args, rest = parser.parse_known_args()
    TDSSIM = args.tdssim
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
