"""vigil_var beyond its plain operations: references held across user code,
argument binding, allocation failures and one module per interpreter."""
import _interpreters
import json
import os
import subprocess
import sys
import textwrap
import unittest

from vigil_var import VigilRecord, VigilVar


def run_child(source):
    """Runs `source` in a fresh interpreter process, so that a fault which
    corrupts memory ends that process instead of the suite."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)],
                          capture_output=True, text=True, timeout=120)


class ClassAttributeLookup(unittest.TestCase):
    def test_descriptor_deleted_while_it_binds(self):
        # functools.partial.__get__ warns before it returns itself; the
        # warning hook deletes the class attribute, so only the reference
        # the lookup holds keeps the partial alive until it is returned.
        out = run_child("""
            import functools, warnings
            from vigil_var import VigilVar, VigilRecord

            def target():
                return "called"

            for base in (VigilVar, VigilRecord):
                class Sub(base):
                    attr = functools.partial(target)

                def hook(*args, **kwargs):
                    del Sub.attr

                with warnings.catch_warnings():
                    warnings.simplefilter("always", FutureWarning)
                    warnings.showwarning = hook
                    got = Sub().attr
                assert "attr" not in Sub.__dict__
                print(base.__name__, type(got).__name__, got.func is target, got())
            """)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout.split("\n"),
                         ["VigilVar partial True called", "VigilRecord partial True called", ""])



class Construction(unittest.TestCase):
    def test_any_number_of_fields_and_entries(self):
        many = {f"f{i}": i for i in range(40)}
        v = VigilVar({"f0": "from the mapping", "m": 1}, **many)
        self.assertEqual(len(v), 41)
        self.assertEqual((v.f0, v.f39, v.m), (0, 39, 1), "keywords override the mapping")
        rec = VigilRecord({"status": "s"}, thread=None, **many)
        self.assertEqual(len(rec.keys()), 42)
        self.assertEqual((rec.status, rec.f39), ("s", 39))

    def test_wrong_calls_change_nothing(self):
        v = VigilVar(a=1)
        for call in (lambda: VigilVar({}, {}), lambda: v.add(1), lambda: v.set(),
                     lambda: v.set("x", 1, 2), lambda: v.get("a", default=0, other=1),
                     lambda: v.keys(1), lambda: VigilRecord().get()):
            with self.assertRaises(TypeError):
                call()
        self.assertEqual(list(v.keys()), ["a"])
        # A parameter name is no field name: set(name=..., value=...) binds.
        v.set(name="k", value={"status": 1})
        self.assertEqual(v.get(name="k").status, 1)




class AllocationFailures(unittest.TestCase):
    def test_each_failing_allocation_is_a_memory_error(self):
        # The n-th allocation of a session fails, for each n in turn: the
        # failure must come out as MemoryError (not a crash, not a
        # SystemError), and a session that raised nothing must be right.
        # In a child process: after such a failure the interpreter's own
        # repr bookkeeping can keep a stale entry.
        out = run_child("""
            import _testcapi
            from vigil_var import VigilRecord, VigilVar

            def session():
                v = VigilVar({"a": 1}, b=2)
                v.add(c=3)
                v.set("job", value={"status": "s", "note": 1})
                rec = v.get("job")
                rec.result = [1]
                rec.extra = 5
                del rec.note
                repr(v), repr(v.items())
                return (v.b, v.never, rec.status, rec.to_dict(), rec.keys(),
                        list(v.keys()), "job" in v.keys(), ("b", 2) in v.items(),
                        [k for k, _ in v.items()], len(v.values()),
                        VigilRecord({"thread": 1}, x=2).to_dict())

            expected = session()
            outcomes, wrong = set(), []
            for n in range(300):
                _testcapi.set_nomemory(n, n + 1)
                try:
                    got = session()
                except MemoryError:
                    outcomes.add("MemoryError")
                    continue
                except BaseException as e:
                    wrong.append(f"{n}: {e!r}")
                    continue
                finally:
                    _testcapi.remove_mem_hooks()
                outcomes.add("ok")
                if got != expected:
                    wrong.append(f"{n}: {got!r}")
            print(sorted(outcomes), wrong, session() == expected)
            """)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout, "['MemoryError', 'ok'] [] True\n")


# Uses the module in the interpreter it runs in, then writes what it saw as
# JSON to the file descriptor FD: the identity of the types and of the
# capsule's table, the table's own type field, and a small session with a
# table of records, a subclass and a weak reference.
PROBE = textwrap.dedent("""
    import ctypes, json, os, weakref
    from vigil_var import VigilVar, VigilRecord, _C_API

    class Head(ctypes.Structure):  # the leading fields of the capsule's table
        _fields_ = [("version", ctypes.c_int), ("type", ctypes.c_void_p)]

    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(_C_API, b"vigil_var._C_API")
    head = Head.from_address(table)

    class Table(VigilVar):
        pass

    fields = VigilVar(owner="probe")
    t = Table()
    for name in ("b", "a"):
        t.set(name, value={"status": name, "note": 1})
    t.get("a").result = [1]
    keys = t.keys()
    t.set("c", value={})
    alive = weakref.ref(t)
    os.write(FD, json.dumps({
        "var": id(VigilVar), "record": id(VigilRecord), "table": table,
        "version": head.version, "table_type": head.type,
        "session": [fields.owner, fields.never_set, "c" in keys, list(keys),
                    [[k, r.to_dict()] for k, r in t.items()],
                    type(t.get("a")) is VigilRecord, alive() is t],
    }).encode())
""")


class Interpreters(unittest.TestCase):
    def setUp(self):
        self.r, self.w = os.pipe()
        self.addCleanup(os.close, self.r)
        self.addCleanup(os.close, self.w)

    def probe_here(self):
        exec(PROBE, {"FD": self.w})
        return json.loads(os.read(self.r, 1 << 16))

    def probe_in(self, kind):
        interp = _interpreters.create(_interpreters.new_config(kind))
        try:
            config = _interpreters.get_config(interp)
            _interpreters.set___main___attrs(interp, {"FD": self.w})
            failure = _interpreters.exec(interp, PROBE)
            self.assertIsNone(failure, failure and failure.errdisplay)
            return config, json.loads(os.read(self.r, 1 << 16))
        finally:
            _interpreters.destroy(interp)

    def test_each_interpreter_has_its_own_module(self):
        main = self.probe_here()
        self.assertEqual(main["table_type"], main["var"], "the table names this module's type")
        for kind in ("isolated", "legacy"):
            with self.subTest(kind=kind):
                config, sub = self.probe_in(kind)
                if kind == "isolated":
                    self.assertEqual(config.gil, "own")
                self.assertNotEqual(sub["var"], main["var"])
                self.assertNotEqual(sub["record"], main["record"])
                self.assertNotEqual(sub["table"], main["table"])
                self.assertEqual(sub["table_type"], sub["var"])
                self.assertEqual(sub["version"], main["version"])
                self.assertEqual(sub["session"], main["session"])
        self.assertEqual(main["session"][:3], ["probe", None, True])

    def test_module_lives_as_long_as_its_objects(self):
        out = run_child("""
            import gc, sys, weakref
            import vigil_var as first
            first_alive = weakref.ref(first)
            table = first.VigilVar()
            del sys.modules["vigil_var"]
            import vigil_var as second
            assert second.VigilVar is not first.VigilVar
            record_type = first.VigilRecord
            del first
            gc.collect()
            table.set("job", value={"status": "kept"})
            rec = table.get("job")
            print(type(rec) is record_type, type(rec) is not second.VigilRecord, rec.status)
            # Its last object gone, the module and its types are garbage:
            # the module's state shows the collector its references.
            del table, rec, record_type
            gc.collect()
            print(first_alive() is None)
            """)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout, "True True kept\nTrue\n")


if __name__ == "__main__":
    unittest.main()
