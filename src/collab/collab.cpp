#include "collab/collab.h"

#include "threads_main/globals.h"
#include "vigil_var/vigil_var_api.h"

using vt::Ref;

namespace vtm::collab {

static VigilVarAPI* g_api = nullptr;

bool init() {
  g_api = static_cast<VigilVarAPI*>(PyCapsule_Import(VIGIL_VAR_CAPSULE, 0));
  if (!g_api) return false;
  if (g_api->version != VIGIL_VAR_API_VERSION) {
    PyErr_SetString(PyExc_ImportError, "vigil_var has an incompatible version");
    return false;
  }
  return true;
}

static inline bool exact_var(PyObject* o) {
  return Py_IS_TYPE(o, g_api->type);
}
static inline PyObject* dict_of(PyObject* o) {
  return reinterpret_cast<VigilVarObject*>(o)->dict;
}

// The slot of an exact record for an interned field name, else null.
static inline PyObject** record_slot(PyObject* o, PyObject* name) {
  if (!Py_IS_TYPE(o, g_api->record_type)) return nullptr;
  auto* r = reinterpret_cast<VigilRecordObject*>(o);
  if (name == g_api->name_status) return &r->status;
  if (name == g_api->name_thread) return &r->thread;
  if (name == g_api->name_result) return &r->result;
  return nullptr;
}

Ref var_of(PyObject* mgr) { return Ref::steal(PyObject_GetAttr(mgr, names._var)); }
Ref log_of(PyObject* mgr) { return Ref::steal(PyObject_GetAttr(mgr, names._log)); }

Ref get(PyObject* holder, PyObject* name) {
  if (exact_var(holder)) {
    PyObject* v = nullptr;
    int r = PyDict_GetItemRef(dict_of(holder), name, &v);
    if (r < 0) return Ref();
    return r ? Ref::steal(v) : Ref::borrow(Py_None);
  }
  if (PyObject** slot = record_slot(holder, name))
    return Ref::borrow(*slot ? *slot : Py_None);
  return Ref::steal(PyObject_GetAttr(holder, name));
}

bool set(PyObject* holder, PyObject* name, PyObject* value) {
  if (exact_var(holder)) return PyDict_SetItem(dict_of(holder), name, value) == 0;
  if (PyObject** slot = record_slot(holder, name)) {
    Py_XSETREF(*slot, Py_NewRef(value));
    return true;
  }
  return PyObject_SetAttr(holder, name, value) == 0;
}

bool add(PyObject* holder, PyObject* name, PyObject* value) {
  if (exact_var(holder)) return PyDict_SetItem(dict_of(holder), name, value) == 0;
  Ref meth = Ref::steal(PyObject_GetAttr(holder, names.add));
  if (!meth) return false;
  Ref kwn = Ref::steal(PyTuple_Pack(1, name));
  if (!kwn) return false;
  PyObject* stack[] = {value};
  return Ref::steal(PyObject_Vectorcall(meth.get(), stack, 0, kwn.get()))
      .operator bool();
}

int table_contains(PyObject* table, PyObject* key) {
  if (exact_var(table)) return PyDict_Contains(dict_of(table), key);
  Ref keys = vt::call_method(table, names.keys);
  if (!keys) return -1;
  return PySequence_Contains(keys.get(), key);
}

Ref table_get(PyObject* table, PyObject* key) {
  if (exact_var(table)) {
    PyObject* v = nullptr;
    int r = PyDict_GetItemRef(dict_of(table), key, &v);
    if (r < 0) return Ref();
    return r ? Ref::steal(v) : Ref::borrow(Py_None);
  }
  return vt::call_method(table, names.get, {key});
}

bool table_set(PyObject* table, PyObject* key, PyObject* mapping) {
  if (exact_var(table)) {
    Ref rec = Ref::steal(g_api->from_mapping(mapping));
    if (!rec) return false;
    return PyDict_SetItem(dict_of(table), key, rec.get()) == 0;
  }
  Ref meth = Ref::steal(PyObject_GetAttr(table, vt::intern("set")));
  if (!meth) return false;
  Ref kwn = Ref::steal(PyTuple_Pack(1, vt::intern("value")));
  if (!kwn) return false;
  PyObject* stack[] = {key, mapping};
  return Ref::steal(PyObject_Vectorcall(meth.get(), stack, 1, kwn.get()))
      .operator bool();
}

bool table_set_record(PyObject* table, PyObject* key, PyObject* thread,
                      PyObject* result, PyObject* status) {
  if (exact_var(table)) {
    Ref rec = Ref::steal(g_api->new_record(thread, result, status));
    return rec && PyDict_SetItem(dict_of(table), key, rec.get()) == 0;
  }
  Ref m = Ref::steal(PyDict_New());
  if (!m || PyDict_SetItem(m.get(), names.thread, thread) < 0 ||
      PyDict_SetItem(m.get(), names.result, result) < 0 ||
      PyDict_SetItem(m.get(), names.status, status) < 0)
    return false;
  return table_set(table, key, m.get());
}

Ref new_holder() {
  PyObject* cls = PyDict_GetItemWithError(g.module_dict, names.VigilVar);
  if (!cls) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_NameError, "name 'VigilVar' is not defined");
    return Ref();
  }
  return Ref::steal(PyObject_CallNoArgs(cls));
}

int field_truth(PyObject* mgr, PyObject* field) {
  Ref var = var_of(mgr);
  if (!var) return -1;
  Ref v = get(var.get(), field);
  if (!v) return -1;
  return vt::truth(v.get());
}

Py_ssize_t field_len(PyObject* holder, PyObject* field) {
  Ref v = get(holder, field);
  if (!v) return -1;
  if (PyList_CheckExact(v.get())) return PyList_GET_SIZE(v.get());
  return PyObject_Length(v.get());
}

bool field_append(PyObject* holder, PyObject* field, PyObject* item) {
  Ref v = get(holder, field);
  if (!v) return false;
  if (PyList_CheckExact(v.get())) return PyList_Append(v.get(), item) == 0;
  return vt::call_method(v.get(), names.append, {item}).operator bool();
}

bool log(PyObject* mgr, Level level, PyObject* message) {
  Ref sink = log_of(mgr);
  if (!sink) return false;
  PyObject* meth = level == Level::Debug  ? names.debug
                   : level == Level::Info ? names.info
                                          : names.warning;
  return vt::call_method(sink.get(), meth, {message}).operator bool();
}

bool log(PyObject* mgr, Level level, const char* text) {
  Ref msg = Ref::steal(PyUnicode_FromString(text));
  if (!msg) return false;
  return log(mgr, level, msg.get());
}

bool log_error(PyObject* mgr, Level level, const char* prefix, PyObject* exc) {
  Ref text = vt::exc_text(exc);
  Ref msg = Ref::steal(PyUnicode_FromFormat("%s%U", prefix, text.get()));
  if (!msg) return false;
  return log(mgr, level, msg.get());
}

}  // namespace vtm::collab
