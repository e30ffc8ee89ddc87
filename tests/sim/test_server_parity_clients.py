"""Where tdssim answers as a real SQL Server, seen by clients nobody here wrote: FreeTDS tsql
(TDS 7.4 and 7.0), unixODBC isql with the FreeTDS ODBC driver, and python3-tds.

Run: python3 test_server_parity_clients.py --tdssim PATH/TO/tdssim
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tdssim import ADMIN, TdsSim  # noqa: E402

TDSSIM = None

DEADLOCK_READ = (
    "set ansi_nulls, ansi_padding, ansi_warnings, arithabort, concat_null_yields_null, "
    "quoted_identifier on;\r\n"
    "select top (100) convert(varchar(30), e.x.value('(@timestamp)[1]', 'datetime2(3)'), 126), "
    "left(q.report, 1048576), datalength(q.report), convert(varchar(30), sysutcdatetime(), 126)\r\n"
    "from (select convert(xml, t.target_data) as d from sys.dm_xe_session_targets t "
    "join sys.dm_xe_sessions s on s.address = t.event_session_address "
    "where s.name = N'system_health' and t.target_name = N'ring_buffer') as r\r\n"
    "cross apply r.d.nodes('/RingBufferTarget/event[@name=\"xml_deadlock_report\"]"
    "[xs:dateTime(@timestamp) >= xs:dateTime(\"2000-01-01T00:00:00.000Z\")]') as e(x)\r\n"
    "cross apply (select convert(nvarchar(max), "
    "e.x.query('(data[@name=\"xml_report\"]/value/deadlock)[1]')) as report) as q\r\n"
    "order by e.x.value('(@timestamp)[1]', 'datetime2(3)')")


def run(args, stdin, env=None):
    return subprocess.run(args, input=stdin, capture_output=True, text=True, timeout=60, env=env)


def needs(tool):
    return unittest.skipUnless(shutil.which(tool), tool + " is not installed")


class SimCase(unittest.TestCase):
    def setUp(self):
        self.sim = TdsSim(TDSSIM, "demo")

    def tearDown(self):
        self.sim.__exit__(None, None, None)


@needs("tsql")
class Tsql(SimCase):
    def tsql(self, sql, version=None):
        env = dict(os.environ, TDSVER=version) if version else None
        return run(["tsql", "-H", "127.0.0.1", "-p", str(self.sim.port()), "-U", ADMIN[0],
                    "-P", ADMIN[1]], sql + "\ngo\n", env=env)

    def test_errors_a_real_server_gives(self):
        # (batch, message tsql prints, text that must not appear in the output)
        cases = [
            ("KILL 2", "Msg 6107 (severity 14, state 1)", None),
            ("select 4711\nselect nosuch from sysprocesses", "Msg 207 (severity 16", "4711"),
            ("select 4711\nselect p.spid from sysprocesses s", "Msg 4104 (severity 16", "4711"),
            ("commit", "Msg 3902 (severity 16, state 1)", None),
            ("select spid, blocked from sysprocesses order by 5", "Msg 108 (severity 16", None),
            ("select [] from sysprocesses", "Msg 1038 (severity 15", None),
        ]
        for sql, message, absent in cases:
            with self.subTest(sql=sql):
                out = self.tsql(sql)
                self.assertIn(message, out.stderr)
                if absent:
                    self.assertNotIn(absent, out.stdout)

    def test_sp_executesql_aliases_and_sp_who(self):
        out = self.tsql("exec sp_executesql N'select spid as MySpid from sysprocesses "
                        "where spid = @p', N'@p int', @p = 53\ngo\nexec sp_who 52")
        self.assertNotIn("Msg ", out.stderr)
        self.assertIn("MySpid\n53\n", out.stdout)
        self.assertIn("(return status = 0)", out.stdout)
        row = next(l for l in out.stdout.splitlines() if l.startswith("52\t"))
        self.assertEqual(len(row.split("\t")[7]), 26, "cmd is nchar(26)")

    def test_tds_7_0_reads_bigint_as_decimal(self):
        out = self.tsql("select waittime, physical_io from sysprocesses where spid = 51",
                        version="7.0")
        self.assertNotIn("Msg ", out.stderr)
        self.assertRegex(out.stdout, r"waittime\tphysical_io\n\d+\t\d+\n")


@needs("isql")
class Isql(SimCase):
    def isql(self, sql):
        conn = ("Driver=FreeTDS;Server=127.0.0.1;Port=%d;UID=%s;PWD=%s;TDS_Version=7.4"
                % (self.sim.port(), ADMIN[0], ADMIN[1]))
        return run(["isql", "-v", "-b", "-d|", "-k", conn], sql + "\n")

    def test_prepared_statements_get_the_same_errors(self):
        for sql, text in (("KILL 3", "Only user processes can be killed."),
                          ("rollback", "The ROLLBACK TRANSACTION request has no corresponding "
                                       "BEGIN TRANSACTION."),
                          ("select x.spid from sysprocesses", 'The multi-part identifier "x.spid" '
                                                              'could not be bound.')):
            with self.subTest(sql=sql):
                out = self.isql(sql)
                self.assertIn(text, out.stdout + out.stderr)


class Pytds(SimCase):
    def setUp(self):
        try:
            import pytds  # noqa: F401
        except ImportError:
            self.skipTest("python3-tds is not installed")
        super().setUp()

    def connect(self):
        import pytds
        return pytds.connect("127.0.0.1", port=self.sim.port(), user=ADMIN[0],
                             password=ADMIN[1], login_timeout=5, timeout=10, autocommit=True)

    def test_transactions_in_batches(self):
        import pytds
        with self.connect() as conn:
            cur = conn.cursor()
            cur.execute("begin tran")
            cur.execute("select @@trancount")
            self.assertEqual(cur.fetchall(), [(1,)])
            cur.execute("commit")
            with self.assertRaises(pytds.OperationalError) as ctx:
                cur.execute("commit")
            self.assertEqual(ctx.exception.msg_no, 3902)
            cur.execute("select 5")
            self.assertEqual(cur.fetchall(), [(5,)], "the session goes on")

    def test_sp_executesql_in_a_batch(self):
        with self.connect() as conn:
            cur = conn.cursor()
            cur.execute("exec sp_executesql N'select spid, ecid from sysprocesses "
                        "where spid = @p', N'@p int', @p = 53")
            self.assertEqual(cur.fetchall(), [(53, 0)])

    def test_a_megabyte_report_arrives_whole(self):
        self.assertTrue(self.sim.control("deadlock 0 57 59 size=1048576").startswith("OK"))
        with self.connect() as conn:
            cur = conn.cursor()
            cur.execute(DEADLOCK_READ)
            rows = cur.fetchall()
        self.assertEqual(len(rows), 1)
        report = rows[0][1]
        self.assertEqual(len(report), 1048576)
        self.assertTrue(report.startswith("<deadlock>") and report.endswith("</deadlock>"))
        lines = re.findall(r"-- line (\d+) of a long batch", report)
        self.assertEqual([int(n) for n in lines], list(range(1, len(lines) + 1)),
                         "every chunk in its place")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--tdssim", required=True)
    args, rest = parser.parse_known_args()
    TDSSIM = args.tdssim
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
