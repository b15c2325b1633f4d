// vigil_log: the log sink of the vigil family. Every message goes to the
// standard logging logger named by the sink's title (so an application's
// logging configuration sees it) and to the sink's own handlers: an
// optional file and an optional console on stderr. The sink's handlers are
// never attached to the shared logger, so two sinks with one title never
// write each other's lines; the own console keeps quiet for a message the
// shared logger has already printed on the console.
#include "common/pyutil.h"

using vt::Ref;

namespace {

constexpr int kDebug = 10, kInfo = 20, kWarning = 30, kError = 40;
constexpr const char* kFormat = "%(asctime)s %(levelname)s %(name)s: %(message)s";

struct LogObject {
  PyObject_HEAD
  PyObject* title;     // str
  PyObject* logger;    // logging.Logger named title
  PyObject* handlers;  // list of the sink's own handlers
  PyObject* path;      // str path of the log file, or None
  int level;           // threshold of the own handlers
};

PyTypeObject* g_log_type = nullptr;
PyObject* g_logging = nullptr;
PyObject* g_console_cls = nullptr;
PyObject* g_reaches_console = nullptr;

LogObject* as_log(PyObject* o) { return reinterpret_cast<LogObject*>(o); }

const char* kConsoleSrc =
    "import logging, sys\n"
    "class ConsoleHandler(logging.StreamHandler):\n"
    "    '''Writes to whatever sys.stderr is when each message arrives.'''\n"
    "    def __init__(self, level=logging.NOTSET):\n"
    "        logging.Handler.__init__(self, level)\n"
    "    @property\n"
    "    def stream(self):\n"
    "        return sys.stderr\n"
    "    @stream.setter\n"
    "    def stream(self, value):\n"
    "        pass\n"
    "# True when logger.handle() of a record at level prints it on sys.stderr\n"
    "# or sys.stdout through a handler on its way up.\n"
    "def reaches_console(logger, level):\n"
    "    if logger.disabled:\n"
    "        return False\n"
    "    consoles = [s for s in (sys.stderr, sys.stdout, sys.__stderr__,\n"
    "                            sys.__stdout__) if s is not None]\n"
    "    c = logger\n"
    "    while c is not None:\n"
    "        for h in c.handlers:\n"
    "            if (level >= h.level and isinstance(h, logging.StreamHandler)\n"
    "                    and any(h.stream is s for s in consoles)):\n"
    "                return True\n"
    "        c = c.parent if c.propagate else None\n"
    "    return False\n";

bool init_globals() {
  if (g_console_cls) return true;
  g_logging = PyImport_ImportModule("logging");
  if (!g_logging) return false;
  Ref globals = Ref::steal(PyDict_New());
  if (!globals) return false;
  if (PyDict_SetItemString(globals.get(), "__builtins__",
                           PyEval_GetBuiltins()) < 0 ||
      PyDict_SetItemString(globals.get(), "__name__",
                           Ref::steal(PyUnicode_FromString("vigil_log")).get()) < 0)
    return false;
  Ref r = Ref::steal(
      PyRun_String(kConsoleSrc, Py_file_input, globals.get(), globals.get()));
  if (!r) return false;
  PyObject* cls = PyDict_GetItemString(globals.get(), "ConsoleHandler");
  PyObject* reaches = PyDict_GetItemString(globals.get(), "reaches_console");
  if (!cls || !reaches) return false;
  g_reaches_console = Py_NewRef(reaches);
  g_console_cls = Py_NewRef(cls);
  return true;
}

PyObject* log_new(PyTypeObject* tp, PyObject*, PyObject*) {
  Ref self = Ref::steal(tp->tp_alloc(tp, 0));
  if (!self) return nullptr;
  LogObject* s = as_log(self.get());
  s->handlers = PyList_New(0);
  if (!s->handlers) return nullptr;
  s->title = Py_NewRef(Py_None);
  s->logger = Py_NewRef(Py_None);
  s->path = Py_NewRef(Py_None);
  s->level = kInfo;
  return self.release();
}

bool add_handler(LogObject* s, PyObject* handler) {
  Ref fmt_s = Ref::steal(PyUnicode_FromString(kFormat));
  Ref fmt = vt::call_method(g_logging, vt::intern("Formatter"), {fmt_s.get()});
  if (!fmt) return false;
  if (!vt::call_method(handler, vt::intern("setFormatter"), {fmt.get()}))
    return false;
  return PyList_Append(s->handlers, handler) == 0;
}

int log_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"title", "file", "control", "level", nullptr};
  PyObject* title = nullptr;
  PyObject* file = Py_False;
  PyObject* control = Py_False;
  int level = kInfo;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOi:VigilLog",
                                   const_cast<char**>(kw), &title, &file,
                                   &control, &level))
    return -1;
  LogObject* s = as_log(self);
  if (PyList_GET_SIZE(s->handlers) > 0) {
    PyErr_SetString(PyExc_RuntimeError, "VigilLog is already initialised");
    return -1;
  }
  Ref t = title ? Ref::steal(PyObject_Str(title))
                : Ref::steal(PyUnicode_FromString("VigilLog"));
  if (!t) return -1;
  Ref logger = vt::call_method(g_logging, vt::intern("getLogger"), {t.get()});
  if (!logger) return -1;
  Py_SETREF(s->title, t.release());
  Py_SETREF(s->logger, logger.release());
  s->level = level;

  int want_file = PyObject_IsTrue(file);
  if (want_file < 0) return -1;
  if (want_file) {
    Ref path;
    if (file == Py_True) {
      path = Ref::steal(PyUnicode_FromFormat("%U.log", s->title));
    } else {
      Ref p = Ref::steal(PyOS_FSPath(file));
      if (!p) return -1;
      path = PyBytes_Check(p.get())
                 ? Ref::steal(PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(p.get())))
                 : p;
    }
    if (!path) return -1;
    Ref mode = Ref::steal(PyUnicode_FromString("a"));
    Ref enc = Ref::steal(PyUnicode_FromString("utf-8"));
    Ref fh_cls = Ref::steal(PyObject_GetAttrString(g_logging, "FileHandler"));
    if (!fh_cls) return -1;
    Ref kwa = Ref::steal(Py_BuildValue("{s:O,s:O,s:O}", "mode", mode.get(),
                                       "encoding", enc.get(), "delay", Py_True));
    Ref posa = Ref::steal(PyTuple_Pack(1, path.get()));
    if (!kwa || !posa) return -1;
    Ref fh = Ref::steal(PyObject_Call(fh_cls.get(), posa.get(), kwa.get()));
    if (!fh) return -1;
    Ref lv = Ref::steal(PyLong_FromLong(level));
    if (!vt::call_method(fh.get(), vt::intern("setLevel"), {lv.get()}))
      return -1;
    if (!add_handler(s, fh.get())) return -1;
    Py_SETREF(s->path, path.release());
  }
  int want_console = PyObject_IsTrue(control);
  if (want_console < 0) return -1;
  if (want_console) {
    Ref lv = Ref::steal(PyLong_FromLong(level));
    Ref ch = Ref::steal(PyObject_CallOneArg(g_console_cls, lv.get()));
    if (!ch || !add_handler(s, ch.get())) return -1;
  }
  return 0;
}

int log_traverse(PyObject* self, visitproc visit, void* arg) {
  LogObject* s = as_log(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(s->title);
  Py_VISIT(s->logger);
  Py_VISIT(s->handlers);
  Py_VISIT(s->path);
  return 0;
}

int log_clear(PyObject* self) {
  LogObject* s = as_log(self);
  Py_CLEAR(s->logger);
  Py_CLEAR(s->handlers);
  return 0;
}

void close_handlers(LogObject* s) {
  if (!s->handlers) return;
  PyObject* saved = PyErr_GetRaisedException();
  Ref hs = Ref::steal(PySequence_List(s->handlers));
  if (hs) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(hs.get()); ++i) {
      Ref r = vt::call_method(PyList_GET_ITEM(hs.get(), i), vt::intern("close"));
      if (!r) PyErr_Clear();
    }
    PyList_SetSlice(s->handlers, 0, PY_SSIZE_T_MAX, nullptr);
  }
  PyErr_Clear();
  PyErr_SetRaisedException(saved);
}

void log_finalize(PyObject* self) { close_handlers(as_log(self)); }

void log_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  LogObject* s = as_log(self);
  Py_CLEAR(s->title);
  Py_CLEAR(s->logger);
  Py_CLEAR(s->handlers);
  Py_CLEAR(s->path);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* emit(PyObject* self, int level, PyObject* msg) {
  LogObject* s = as_log(self);
  if (!s->logger || s->logger == Py_None) {
    PyErr_SetString(PyExc_RuntimeError, "VigilLog is not initialised");
    return nullptr;
  }
  Ref lv = Ref::steal(PyLong_FromLong(level));
  if (!lv) return nullptr;
  // The shared logger takes part only when the application configured
  // handlers for it; otherwise logging's last-resort handler would print
  // our warnings a second time.
  Ref has = vt::call_method(s->logger, vt::intern("hasHandlers"));
  if (!has) return nullptr;
  int named = PyObject_IsTrue(has.get());
  if (named > 0) {
    Ref en = vt::call_method(s->logger, vt::intern("isEnabledFor"), {lv.get()});
    if (!en) return nullptr;
    named = PyObject_IsTrue(en.get());
  }
  if (named < 0) return nullptr;
  Ref hs = Ref::steal(PySequence_Tuple(s->handlers));
  if (!hs) return nullptr;
  bool own = level >= s->level && PyTuple_GET_SIZE(hs.get()) > 0;
  if (!named && !own) Py_RETURN_NONE;

  Ref fn = Ref::steal(PyUnicode_FromString("(vigil)"));
  Ref lno = Ref::steal(PyLong_FromLong(0));
  Ref noargs = Ref::steal(PyTuple_New(0));
  if (!fn || !lno || !noargs) return nullptr;
  PyObject* stack[] = {s->logger, s->title, lv.get(), fn.get(), lno.get(),
                       msg, noargs.get(), Py_None};
  Ref record = Ref::steal(PyObject_VectorcallMethod(
      vt::intern("makeRecord"), stack, 8 | PY_VECTORCALL_ARGUMENTS_OFFSET,
      nullptr));
  if (!record) return nullptr;
  if (named &&
      !vt::call_method(s->logger, vt::intern("handle"), {record.get()}))
    return nullptr;
  if (own) {
    // When the application's handlers already printed the record on the
    // console, the sink's own console handler stays silent: one line per
    // message. Files are written either way.
    int quiet_console = -1;  // not yet known
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(hs.get()); ++i) {
      PyObject* h = PyTuple_GET_ITEM(hs.get(), i);
      int console = PyObject_IsInstance(h, g_console_cls);
      if (console < 0) return nullptr;
      if (console && quiet_console < 0) {
        quiet_console = 0;
        if (named) {
          PyObject* call_args[] = {s->logger, lv.get()};
          Ref r = Ref::steal(PyObject_Vectorcall(g_reaches_console, call_args, 2, nullptr));
          if (!r || (quiet_console = vt::truth(r.get())) < 0) return nullptr;
        }
      }
      if (console && quiet_console) continue;
      if (!vt::call_method(h, vt::intern("handle"), {record.get()})) return nullptr;
    }
  }
  Py_RETURN_NONE;
}

PyObject* log_debug(PyObject* self, PyObject* msg) { return emit(self, kDebug, msg); }
PyObject* log_info(PyObject* self, PyObject* msg) { return emit(self, kInfo, msg); }
PyObject* log_warning(PyObject* self, PyObject* msg) {
  return emit(self, kWarning, msg);
}
PyObject* log_error(PyObject* self, PyObject* msg) { return emit(self, kError, msg); }
PyObject* log_close(PyObject* self, PyObject*) {
  close_handlers(as_log(self));
  Py_RETURN_NONE;
}

PyObject* get_title(PyObject* self, void*) { return Py_NewRef(as_log(self)->title); }
PyObject* get_logger(PyObject* self, void*) {
  return Py_NewRef(as_log(self)->logger ? as_log(self)->logger : Py_None);
}
PyObject* get_handlers(PyObject* self, void*) {
  if (!as_log(self)->handlers) return PyTuple_New(0);
  return PySequence_Tuple(as_log(self)->handlers);
}
PyObject* get_path(PyObject* self, void*) { return Py_NewRef(as_log(self)->path); }

PyGetSetDef log_getset[] = {
    {"title", get_title, nullptr, "Name of the logger the sink writes to.", nullptr},
    {"logger", get_logger, nullptr, "The standard logging.Logger named title.",
     nullptr},
    {"handlers", get_handlers, nullptr, "The sink's own handlers (a tuple).",
     nullptr},
    {"path", get_path, nullptr, "Path of the log file, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef log_methods[] = {
    {"debug", log_debug, METH_O,
     "debug($self, message, /)\n--\n\nWrite message at DEBUG level."},
    {"info", log_info, METH_O,
     "info($self, message, /)\n--\n\nWrite message at INFO level. A non-text "
     "message (a dict) is rendered as its str()."},
    {"warning", log_warning, METH_O,
     "warning($self, message, /)\n--\n\nWrite message at WARNING level."},
    {"error", log_error, METH_O,
     "error($self, message, /)\n--\n\nWrite message at ERROR level."},
    {"close", log_close, METH_NOARGS,
     "close($self, /)\n--\n\nClose and drop the sink's own handlers (the log "
     "file is released)."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot log_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(log_new)},
    {Py_tp_init, reinterpret_cast<void*>(log_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(log_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(log_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(log_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(log_clear)},
    {Py_tp_methods, log_methods},
    {Py_tp_getset, log_getset},
    {Py_tp_doc, const_cast<char*>(
                    "VigilLog(title='VigilLog', file=False, control=False, "
                    "level=20)\n--\n\n"
                    "Log sink. Messages go to the logging logger named title "
                    "(when the application configured handlers for it) and to "
                    "the sink's own handlers: file True writes '<title>.log' in "
                    "the working directory, a path writes that file (UTF-8, "
                    "appended), False or None no file; control truthy also "
                    "prints to stderr, except a message that the logger's own "
                    "handlers already print on stderr or stdout. The own "
                    "handlers take messages at level and above (INFO by "
                    "default).")},
    {0, nullptr}};

PyType_Spec log_spec = {"vigil_log.VigilLog", sizeof(LogObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE |
                            Py_TPFLAGS_HAVE_GC,
                        log_slots};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "vigil_log",
                          "Log sink of the vigil family: VigilLog.",
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vigil_log() {
  if (!init_globals()) return nullptr;
  Ref m = Ref::steal(PyModule_Create(&module_def));
  if (!m) return nullptr;
  if (!g_log_type) {
    g_log_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&log_spec));
    if (!g_log_type) return nullptr;
  }
  if (PyModule_AddObjectRef(m.get(), "VigilLog",
                            reinterpret_cast<PyObject*>(g_log_type)) < 0)
    return nullptr;
  return m.release();
}
