// vigil_log: the log sink of the vigil family. Every message goes to the
// standard logging logger named by the sink's title (so an application's
// logging configuration sees it) and to the sink's own handlers: an
// optional file and an optional console on stderr. The sink's handlers are
// never attached to the shared logger, so two sinks with one title never
// write each other's lines; the own console keeps quiet for a message the
// shared logger has already printed on the console.
#include "common/call.h"
#include "common/method.h"
#include "common/module.h"

using vt::Borrowed;
using vt::check;
using vt::Ref;
using vt::take;

namespace {

constexpr int kDebug = 10, kInfo = 20, kWarning = 30, kError = 40;
constexpr const char* kFormat = "%(asctime)s %(levelname)s %(name)s: %(message)s";

// Python code the sink runs: a console handler that follows sys.stderr, and
// the test whether the shared logger already prints a record on a console.
constexpr const char* kHelpersSource =
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

// (A list of names, laid out by hand.)
// clang-format off
#define VL_NAMES(X)                                                                          \
  X(getLogger) X(Formatter) X(FileHandler) X(setFormatter) X(setLevel) X(hasHandlers)         \
  X(isEnabledFor) X(makeRecord) X(handle) X(close) X(mode) X(encoding) X(delay)
// clang-format on

// One per interpreter, in the module's state.
struct State {
  Ref log_type;
  Ref logging;
  Ref console_cls;
  Ref reaches_console;
#define VL_DECLARE(n) Ref n;
  VL_NAMES(VL_DECLARE)
#undef VL_DECLARE
  Ref format;       // the line layout
  Ref record_file;  // what a record says it was made in
  Ref append, utf8;

  // The object references the module's garbage collection visits and
  // clears (the rest are strings), listed once.
  template <class F>
  void each(F&& f) {
    for (Ref* r : {&log_type, &logging, &console_cls, &reaches_console}) f(*r);
  }
  int traverse(visitproc visit, void* arg) {
    int out = 0;
    each([&](Ref& r) {
      if (!out && r) out = visit(r.get(), arg);
    });
    return out;
  }
  void clear() {
    each([](Ref& r) { r.reset(); });
  }
};

void exec(PyObject* module, State& st);
using ThisModule = vt::Module<State, exec>;

struct LogObject {
  PyObject_HEAD
  State* st;
  PyObject* title;     // str
  PyObject* logger;    // logging.Logger named title
  PyObject* handlers;  // list of the sink's own handlers
  PyObject* path;      // str path of the log file, or None
  int level;           // threshold of the own handlers
};

LogObject* as_log(PyObject* o) { return reinterpret_cast<LogObject*>(o); }

// The receiver of VigilLog's methods.
struct Sink {
  PyObject* self;
  LogObject& obj;
  State& st;
  static Sink from(PyObject* self) { return Sink{self, *as_log(self), *as_log(self)->st}; }
};

PyObject* log_new(PyTypeObject* type, PyObject*, PyObject*) {
  return vt::boundary([&] {
    State& st = ThisModule::of_type(type);
    Ref self = take(type->tp_alloc(type, 0));
    LogObject* s = as_log(self);
    s->st = &st;
    s->handlers = take(PyList_New(0)).release();
    s->title = Py_NewRef(Py_None);
    s->logger = Py_NewRef(Py_None);
    s->path = Py_NewRef(Py_None);
    s->level = kInfo;
    return self;
  });
}

void add_handler(const Sink& s, Borrowed handler) {
  Ref fmt = vt::call_method(s.st.logging, s.st.Formatter, {s.st.format});
  vt::call_method(handler, s.st.setFormatter, {fmt});
  vt::list_append(s.obj.handlers, handler);
}

Ref file_path(const Sink& s, PyObject* file) {
  if (file == Py_True) return take(PyUnicode_FromFormat("%U.log", s.obj.title));
  Ref p = take(PyOS_FSPath(file));
  if (PyBytes_Check(p.get())) return take(PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(p.get())));
  return p;
}

void init(PyObject* self, Borrowed title_arg, Borrowed file, Borrowed control, Borrowed level_arg) {
  Sink s = Sink::from(self);
  const State& st = s.st;
  if (PyList_GET_SIZE(s.obj.handlers) > 0)
    vt::raise_format(PyExc_RuntimeError, "VigilLog is already initialised");
  const int level = PyLong_AsInt(level_arg);
  if (level == -1 && PyErr_Occurred()) throw vt::PyError{};
  Ref title = take(PyObject_Str(title_arg));
  Ref logger = vt::call_method(st.logging, st.getLogger, {title});
  Py_SETREF(s.obj.title, title.release());
  Py_SETREF(s.obj.logger, logger.release());
  s.obj.level = level;

  Ref lv = take(PyLong_FromLong(level));
  if (vt::truth(file)) {
    Ref path = file_path(s, file);
    Ref cls = take(PyObject_GetAttr(st.logging, st.FileHandler));
    Ref handler = vt::call_kw(cls, {path},
                              {{st.mode, st.append}, {st.encoding, st.utf8}, {st.delay, Py_True}});
    vt::call_method(handler, st.setLevel, {lv});
    add_handler(s, handler);
    Py_SETREF(s.obj.path, path.release());
  }
  if (vt::truth(control)) add_handler(s, take(PyObject_CallOneArg(st.console_cls, lv)));
}

using Init = vt::Init<init, "VigilLog", "title='VigilLog', file=False, control=False, level=20",
                      "Log sink. Messages go to the logging logger named title (when the "
                      "application configured handlers for it) and to the sink's own "
                      "handlers: file True writes '<title>.log' in the working directory, a "
                      "path writes that file (UTF-8, appended), False or None no file; "
                      "control truthy also prints to stderr, except a message that the "
                      "logger's own handlers already print on stderr or stdout. The own "
                      "handlers take messages at level and above (INFO by default).">;

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

// Closes and drops the sink's own handlers; a failing close is dropped.
void close_handlers(LogObject* s) {
  if (!s->handlers || !s->st) return;
  vt::StashedError pending;  // a finalizer may run while an exception is raised
  vt::quietly([&] {
    Ref handlers = take(PySequence_List(s->handlers));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers.get()); ++i)
      vt::quietly([&] { vt::call_method(PyList_GET_ITEM(handlers.get(), i), s->st->close); });
    check(PyList_SetSlice(s->handlers, 0, PY_SSIZE_T_MAX, nullptr));
  });
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

// Writes one message: to the shared logger when the application configured
// handlers for it (otherwise logging's last-resort handler would print our
// warnings a second time), and to the sink's own handlers.
Ref emit(const Sink& s, int level, PyObject* msg) {
  const State& st = s.st;
  if (s.obj.logger == Py_None || !s.obj.logger)
    vt::raise_format(PyExc_RuntimeError, "VigilLog is not initialised");
  Ref lv = take(PyLong_FromLong(level));
  bool named = vt::truth(vt::call_method(s.obj.logger, st.hasHandlers)) &&
               vt::truth(vt::call_method(s.obj.logger, st.isEnabledFor, {lv}));
  Ref handlers = take(PySequence_Tuple(s.obj.handlers));
  const bool own = level >= s.obj.level && PyTuple_GET_SIZE(handlers.get()) > 0;
  if (!named && !own) return Ref::of(Py_None);

  Ref line = take(PyLong_FromLong(0));
  Ref no_args = take(PyTuple_New(0));
  PyObject* stack[] = {s.obj.logger, s.obj.title, lv, st.record_file, line, msg, no_args, Py_None};
  Ref record = take(
      PyObject_VectorcallMethod(st.makeRecord, stack, 8 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (named) vt::call_method(s.obj.logger, st.handle, {record});
  if (!own) return Ref::of(Py_None);
  // When the application's handlers already printed the record on the
  // console, the sink's own console handler stays silent: one line per
  // message. Files are written either way.
  int quiet_console = -1;  // not yet known
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handlers.get()); ++i) {
    PyObject* h = PyTuple_GET_ITEM(handlers.get(), i);
    const bool console = check(PyObject_IsInstance(h, st.console_cls));
    if (console && quiet_console < 0)
      quiet_console = named && vt::truth(take(PyObject_CallFunctionObjArgs(
                                   st.reaches_console, s.obj.logger, lv.get(), nullptr)));
    if (console && quiet_console) continue;
    vt::call_method(h, st.handle, {record});
  }
  return Ref::of(Py_None);
}

Ref log_debug(Sink s, Borrowed message) { return emit(s, kDebug, message); }
Ref log_info(Sink s, Borrowed message) { return emit(s, kInfo, message); }
Ref log_warning(Sink s, Borrowed message) { return emit(s, kWarning, message); }
Ref log_error(Sink s, Borrowed message) { return emit(s, kError, message); }
Ref log_close(Sink s) {
  close_handlers(&s.obj);
  return Ref::of(Py_None);
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

PyGetSetDef getset[] = {
    {"title", get_title, nullptr, "Name of the logger the sink writes to.", nullptr},
    {"logger", get_logger, nullptr, "The standard logging.Logger named title.", nullptr},
    {"handlers", get_handlers, nullptr, "The sink's own handlers (a tuple).", nullptr},
    {"path", get_path, nullptr, "Path of the log file, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef methods[] = {
    VT_METHOD(log_debug, "VigilLog", "debug", "message, /", "Write message at DEBUG level."),
    VT_METHOD(log_info, "VigilLog", "info", "message, /",
              "Write message at INFO level. A non-text message (a dict) is rendered as its "
              "str()."),
    VT_METHOD(log_warning, "VigilLog", "warning", "message, /", "Write message at WARNING level."),
    VT_METHOD(log_error, "VigilLog", "error", "message, /", "Write message at ERROR level."),
    VT_METHOD(log_close, "VigilLog", "close", "",
              "Close and drop the sink's own handlers (the log file is released)."),
    VT_METHODS_END};

PyType_Slot slots[] = {{Py_tp_doc, const_cast<char*>(Init::doc.data())},
                       {Py_tp_new, reinterpret_cast<void*>(log_new)},
                       {Py_tp_init, reinterpret_cast<void*>(Init::call)},
                       {Py_tp_dealloc, reinterpret_cast<void*>(log_dealloc)},
                       {Py_tp_finalize, reinterpret_cast<void*>(log_finalize)},
                       {Py_tp_traverse, reinterpret_cast<void*>(log_traverse)},
                       {Py_tp_clear, reinterpret_cast<void*>(log_clear)},
                       {Py_tp_methods, methods},
                       {Py_tp_getset, getset},
                       {0, nullptr}};

PyType_Spec blueprint = {
    "vigil_log.VigilLog", sizeof(LogObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    slots};

Ref intern(const char* s) { return take(PyUnicode_InternFromString(s)); }

void exec(PyObject* module, State& st) {
#define VL_INTERN(n) st.n = intern(#n);
  VL_NAMES(VL_INTERN)
#undef VL_INTERN
  st.format = intern(kFormat);
  st.record_file = intern("(vigil)");
  st.append = intern("a");
  st.utf8 = intern("utf-8");
  st.logging = take(PyImport_ImportModule("logging"));
  Ref helpers = vt::run_source(kHelpersSource, "vigil_log");
  st.console_cls = vt::defined(helpers, "ConsoleHandler");
  st.reaches_console = vt::defined(helpers, "reaches_console");
  st.log_type = take(PyType_FromModuleAndSpec(module, &blueprint, nullptr));
  check(PyModule_AddObjectRef(module, "VigilLog", st.log_type));
}

}  // namespace

PyMODINIT_FUNC PyInit_vigil_log() {
  return ThisModule::init("vigil_log", "Log sink of the vigil family: VigilLog.");
}
