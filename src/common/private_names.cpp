#include "common/private_names.h"

#include <climits>

#include "common/call.h"

namespace vt {

namespace {

// Thread.start without its wait for the new thread's handshake: the run
// itself tells when it has started (the worker marks its record running),
// so the dispatcher need not wait for it. Done only for a plain
// threading.Thread, its class and start() as the module found them; any
// other thread, a stand-in class, a patched start() or a threading module
// without these names start as they say they do. The thread is started,
// joinable and has its ident when this returns, as after start(); its
// native_id is set by the thread itself.
constexpr const char* kStartSource =
    "import threading as _t\n"
    "_Thread, _start = _t.Thread, _t.Thread.start\n"
    "try:\n"
    "    _limbo, _lock, _spawn = _t._limbo, _t._active_limbo_lock, _t._start_joinable_thread\n"
    "except AttributeError:\n"
    "    _limbo = None\n"
    "def _start_thread(thread):\n"
    "    if _limbo is None or type(thread) is not _Thread or _Thread.start is not _start:\n"
    "        return thread.start()\n"
    "    try:\n"
    "        started, handle, bootstrap = thread._started, thread._handle, thread._bootstrap\n"
    "    except AttributeError:\n"
    "        return thread.start()\n"
    "    if started.is_set():\n"
    "        return thread.start()\n"
    "    with _lock:\n"
    "        _limbo[thread] = thread\n"
    "    try:\n"
    "        _spawn(bootstrap, handle=handle, daemon=thread.daemon)\n"
    "    except Exception:\n"
    "        with _lock:\n"
    "            del _limbo[thread]\n"
    "        raise\n"
    "    thread._ident = handle.ident\n"
    "    started.set()\n";

// The queue's semaphore counted the item; the feeder thread that was to
// write it could not start (_thread still None), so nothing was queued.
constexpr const char* kUndoPutSource =
    "def _undo_refused_put(queue, error):\n"
    "    import multiprocessing.queues\n"
    "    if (type(queue) is not multiprocessing.queues.Queue\n"
    "            or not isinstance(error, RuntimeError)):\n"
    "        return\n"
    "    try:\n"
    "        refused = not queue._closed and queue._thread is None\n"
    "        sem = queue._sem\n"
    "    except AttributeError:\n"
    "        return\n"
    "    if refused:\n"
    "        sem.release()\n";

// threading's own exit functions run once the main thread has finished and
// before the interpreter waits for the other non-daemon threads: the moment a
// manager's end must begin, since its dispatcher is one of those threads.
// Without that registration a non-daemon thread of ours waits for the main
// thread's end instead and runs the hook then, before the same wait ends.
constexpr const char* kExitHookSource =
    "def _at_main_end(hook):\n"
    "    import threading\n"
    "    register = getattr(threading, '_register_atexit', None)\n"
    "    if register is not None:\n"
    "        return register(hook)\n"
    "    main = threading.main_thread()\n"
    "    def watch():\n"
    "        main.join()\n"
    "        hook()\n"
    "    threading.Thread(target=watch, name='threads_main-end', daemon=False).start()\n";

Ref intern(const char* s) { return take(PyUnicode_InternFromString(s)); }

// obj.<name>, or a null Ref when it has no such attribute.
Ref optional_attr(Borrowed obj, Borrowed name) {
  PyObject* out = nullptr;
  check(PyObject_GetOptionalAttr(obj, name, &out));
  return Ref::steal(out);
}

Ref optional_attr(Borrowed obj, const char* name) {
  PyObject* out = nullptr;
  check(PyObject_GetOptionalAttrString(obj, name, &out));
  return Ref::steal(out);
}

}  // namespace

struct PrivateNames::Names {
  Ref start = intern("start"), _started = intern("_started"), _handle = intern("_handle"),
      _ident = intern("_ident"), _bootstrap = intern("_bootstrap"), _set_done = intern("_set_done"),
      is_set = intern("is_set"), set = intern("set"), acquire = intern("acquire"),
      release = intern("release"), _closed = intern("_closed"), _reader = intern("_reader"),
      _rlock = intern("_rlock"), _sem = intern("_sem"), _recv_bytes = intern("_recv_bytes");
};

PrivateNames::PrivateNames() = default;
PrivateNames::~PrivateNames() = default;

void PrivateNames::load() {
  n_ = std::make_unique<const Names>();
  start_source_ = defined(run_source(kStartSource, "threads_main"), "_start_thread");
  undo_put_ = defined(run_source(kUndoPutSource, "threads_main"), "_undo_refused_put");

  Ref threading = take(PyImport_ImportModule("threading"));
  Ref thread_module = take(PyImport_ImportModule("_thread"));
  thread_type_ = take(PyObject_GetAttrString(threading, "Thread"));
  thread_start_ = take(PyObject_GetAttr(thread_type_, n_->start));
  // A handle of a thread threading did not start, as it makes for the main
  // thread: what lets a runner's run read as a thread of its own.
  make_handle_ = optional_attr(thread_module, "_make_thread_handle");
  limbo_ = optional_attr(threading, "_limbo");
  limbo_lock_ = optional_attr(threading, "_active_limbo_lock");
  Ref handle_type = optional_attr(thread_module, "_ThreadHandle");
  const bool handles_end = handle_type && Ref(optional_attr(handle_type, n_->_set_done)) &&
                           Ref(optional_attr(thread_type_, n_->_bootstrap));
  if (!handles_end || !limbo_ || !PyDict_Check(limbo_.get()) || !limbo_lock_) make_handle_.reset();

  Ref queues = take(PyImport_ImportModule("multiprocessing.queues"));
  queue_type_ = take(PyObject_GetAttrString(queues, "Queue"));
}

void PrivateNames::at_main_end(Borrowed hook) const {
  Ref at_end = defined(run_source(kExitHookSource, "threads_main"), "_at_main_end");
  take(PyObject_CallOneArg(at_end, hook));
}

void PrivateNames::start_thread(Borrowed thread) const {
  take(PyObject_CallOneArg(start_source_, thread));
}

PrivateNames::Adopted PrivateNames::adopt(Borrowed thread, unsigned long ident) const {
  if (!make_handle_ || Py_TYPE(thread.get()) != reinterpret_cast<PyTypeObject*>(thread_type_.get()))
    return {};
  if (!Ref(take(PyObject_GetAttr(thread_type_, n_->start))).is(thread_start_)) return {};
  // Everything is read first: a thread without one of these is started
  // the public way, untouched.
  Ref started = optional_attr(thread, n_->_started);
  Ref bootstrap = optional_attr(thread, n_->_bootstrap);
  if (!started || !bootstrap || !PyObject_HasAttrWithError(thread, n_->_handle)) {
    if (PyErr_Occurred()) throw PyError{};
    return {};
  }
  if (truth(call_method(started, n_->is_set))) return {};  // start() raises for it
  Ref id = take(PyLong_FromUnsignedLong(ident));
  Ref handle = take(PyObject_CallOneArg(make_handle_, id));
  Ref set_done = take(PyObject_GetAttr(handle, n_->_set_done));

  // What Thread.start and the thread's first steps set: ident and handle,
  // listed as starting (the runner's bootstrap moves it to the running
  // threads), and started, so it reads as started as soon as this returns.
  check(PyObject_SetAttr(thread, n_->_handle, handle));
  check(PyObject_SetAttr(thread, n_->_ident, id));
  call_method(limbo_lock_, n_->acquire);
  const int listed = PyDict_SetItem(limbo_, thread, thread);
  {
    StashedError failure;
    call_method(limbo_lock_, n_->release);
  }
  check(listed);
  call_method(started, n_->set);
  return {std::move(bootstrap), std::move(set_done)};
}

std::optional<PrivateNames::QueueReader> PrivateNames::queue_reader(Borrowed queue) const {
  if (Py_TYPE(queue.get()) != reinterpret_cast<PyTypeObject*>(queue_type_.get())) return {};
  Ref closed = optional_attr(queue, n_->_closed);
  if (!closed || truth(closed)) return {};
  Ref reader = optional_attr(queue, n_->_reader);
  Ref handle = reader ? optional_attr(reader, n_->_handle) : Ref();
  if (!handle || !PyLong_Check(handle.get())) return {};
  const long fd = PyLong_AsLong(handle);
  if (fd == -1 && PyErr_Occurred()) throw PyError{};
  if (fd < 0 || fd > INT_MAX) return {};
  QueueReader r;
  r.fd = static_cast<int>(fd);
  r.rlock = optional_attr(queue, n_->_rlock);
  r.sem = optional_attr(queue, n_->_sem);
  r.recv_bytes = optional_attr(queue, n_->_recv_bytes);
  if (!r.rlock || !r.sem || !r.recv_bytes) return {};
  return r;
}

void PrivateNames::undo_refused_put(Borrowed queue, Borrowed error) const {
  call_kw(undo_put_, {queue, error}, {});
}

}  // namespace vt
