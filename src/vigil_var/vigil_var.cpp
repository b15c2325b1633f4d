// vigil_var: the attribute container that holds a manager's state and, used
// as a keyed table, its task records.
#include "vigil_var/vigil_var_api.h"
#include "common/pyutil.h"

using vt::Ref;

namespace {

PyTypeObject* g_var_type = nullptr;
PyTypeObject* g_view_type = nullptr;
PyTypeObject* g_record_type = nullptr;
PyObject* g_n_thread = nullptr;
PyObject* g_n_result = nullptr;
PyObject* g_n_status = nullptr;

bool is_dunder(PyObject* name) {
  if (!PyUnicode_Check(name)) return false;
  Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  if (n < 5) return false;
  return PyUnicode_READ_CHAR(name, 0) == '_' &&
         PyUnicode_READ_CHAR(name, 1) == '_' &&
         PyUnicode_READ_CHAR(name, n - 1) == '_' &&
         PyUnicode_READ_CHAR(name, n - 2) == '_';
}

// The class attribute `name` as a strong reference: a descriptor's __get__
// may run code that deletes the very attribute it came from, so the borrowed
// result of _PyType_Lookup must not be held across it. 3.13 has no public
// lookup that uses the type's attribute cache; a walk of the MRO through
// PyType_GetDict made every field read 1.5 to 2 times slower.
Ref type_lookup(PyTypeObject* tp, PyObject* name) {
  return Ref::steal(_PyType_LookupRef(tp, name));
}

// What reading a class attribute through an instance yields.
PyObject* bind_descr(PyObject* descr, PyObject* self) {
  descrgetfunc f = Py_TYPE(descr)->tp_descr_get;
  if (f) return f(descr, self, reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return Py_NewRef(descr);
}

VigilVarObject* as_var(PyObject* o) {
  return reinterpret_cast<VigilVarObject*>(o);
}

PyObject* var_new(PyTypeObject* tp, PyObject*, PyObject*) {
  Ref self = Ref::steal(tp->tp_alloc(tp, 0));
  if (!self) return nullptr;
  as_var(self.get())->dict = PyDict_New();
  if (!as_var(self.get())->dict) return nullptr;
  return self.release();
}

int merge_kwargs(PyObject* self, PyObject* kwargs) {
  if (!kwargs) return 0;
  return PyDict_Update(as_var(self)->dict, kwargs);
}

int var_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n > 1) {
    PyErr_Format(PyExc_TypeError,
                 "VigilVar() takes at most 1 positional argument (%zd given)",
                 n);
    return -1;
  }
  if (n == 1 && PyDict_Merge(as_var(self)->dict, PyTuple_GET_ITEM(args, 0),
                             1) < 0)
    return -1;
  return merge_kwargs(self, kwargs);
}

int var_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_var(self)->dict);
  return 0;
}

int var_clear(PyObject* self) {
  // Keep an empty dict so that the object stays usable after a cycle clear.
  if (as_var(self)->dict) PyDict_Clear(as_var(self)->dict);
  return 0;
}

void var_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_var(self)->weakreflist) PyObject_ClearWeakRefs(self);
  Py_CLEAR(as_var(self)->dict);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* var_getattro(PyObject* self, PyObject* name) {
  PyTypeObject* tp = Py_TYPE(self);
  // Methods come first so that a record or field named like one ("keys",
  // "get") never hides the operation.
  Ref descr = type_lookup(tp, name);
  if (descr) return bind_descr(descr.get(), self);
  PyObject* v = nullptr;
  int r = PyDict_GetItemRef(as_var(self)->dict, name, &v);
  if (r < 0) return nullptr;
  if (r > 0) return v;
  if (is_dunder(name)) {
    PyErr_Format(PyExc_AttributeError,
                 "'%.100s' object has no attribute '%U'", tp->tp_name, name);
    return nullptr;
  }
  // A field never written reads as None.
  Py_RETURN_NONE;
}

int var_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (is_dunder(name)) return PyObject_GenericSetAttr(self, name, value);
  if (value) return PyDict_SetItem(as_var(self)->dict, name, value);
  int r = PyDict_DelItem(as_var(self)->dict, name);
  if (r < 0 && PyErr_ExceptionMatches(PyExc_KeyError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_AttributeError,
                 "'%.100s' object has no attribute '%U'",
                 Py_TYPE(self)->tp_name, name);
  }
  return r;
}

// --- records -----------------------------------------------------------

VigilRecordObject* as_rec(PyObject* o) { return reinterpret_cast<VigilRecordObject*>(o); }

// The slot holding `name`, or null when the name is not one of the three.
PyObject** rec_slot(PyObject* self, PyObject* name) {
  VigilRecordObject* r = as_rec(self);
  if (name == g_n_status) return &r->status;
  if (name == g_n_thread) return &r->thread;
  if (name == g_n_result) return &r->result;
  if (!PyUnicode_Check(name)) return nullptr;
  if (PyUnicode_Compare(name, g_n_status) == 0) return &r->status;
  if (PyUnicode_Compare(name, g_n_thread) == 0) return &r->thread;
  if (PyUnicode_Compare(name, g_n_result) == 0) return &r->result;
  return nullptr;
}

PyObject* rec_new_raw(PyTypeObject* tp) {
  return tp->tp_alloc(tp, 0);
}

PyObject* rec_new(PyTypeObject* tp, PyObject*, PyObject*) { return rec_new_raw(tp); }

int rec_store(PyObject* self, PyObject* name, PyObject* value) {
  PyObject** slot = rec_slot(self, name);
  if (slot) {
    Py_XSETREF(*slot, Py_XNewRef(value));
    return 0;
  }
  VigilRecordObject* r = as_rec(self);
  if (!value) {
    if (!r->extra) return 0;
    int x = PyDict_Contains(r->extra, name);
    return x <= 0 ? x : PyDict_DelItem(r->extra, name);
  }
  if (!r->extra && !(r->extra = PyDict_New())) return -1;
  return PyDict_SetItem(r->extra, name, value);
}

int rec_merge(PyObject* self, PyObject* mapping) {
  Ref d;
  if (PyDict_Check(mapping)) {
    d = Ref::borrow(mapping);
  } else {
    d = Ref::steal(PyDict_New());
    if (!d || PyDict_Merge(d.get(), mapping, 1) < 0) return -1;
  }
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(d.get(), &pos, &k, &v))
    if (rec_store(self, k, v) < 0) return -1;
  return 0;
}

int rec_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n > 1) {
    PyErr_Format(PyExc_TypeError,
                 "VigilRecord() takes at most 1 positional argument (%zd given)", n);
    return -1;
  }
  if (n == 1 && rec_merge(self, PyTuple_GET_ITEM(args, 0)) < 0) return -1;
  return kwargs ? rec_merge(self, kwargs) : 0;
}

int rec_traverse(PyObject* self, visitproc visit, void* arg) {
  VigilRecordObject* r = as_rec(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(r->thread);
  Py_VISIT(r->result);
  Py_VISIT(r->status);
  Py_VISIT(r->extra);
  return 0;
}

int rec_clear(PyObject* self) {
  VigilRecordObject* r = as_rec(self);
  Py_CLEAR(r->thread);
  Py_CLEAR(r->result);
  Py_CLEAR(r->status);
  Py_CLEAR(r->extra);
  return 0;
}

void rec_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  rec_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* rec_getattro(PyObject* self, PyObject* name) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject** slot = rec_slot(self, name);
  if (slot) return Py_NewRef(*slot ? *slot : Py_None);
  Ref descr = type_lookup(tp, name);
  if (descr) return bind_descr(descr.get(), self);
  VigilRecordObject* r = as_rec(self);
  if (r->extra) {
    PyObject* v = nullptr;
    int got = PyDict_GetItemRef(r->extra, name, &v);
    if (got < 0) return nullptr;
    if (got) return v;
  }
  if (is_dunder(name)) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                 tp->tp_name, name);
    return nullptr;
  }
  Py_RETURN_NONE;
}

int rec_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (is_dunder(name)) return PyObject_GenericSetAttr(self, name, value);
  return rec_store(self, name, value);
}

// The entries as a new dict, slots first.
PyObject* rec_as_dict(PyObject* self) {
  VigilRecordObject* r = as_rec(self);
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  if ((r->thread && PyDict_SetItem(d.get(), g_n_thread, r->thread) < 0) ||
      (r->result && PyDict_SetItem(d.get(), g_n_result, r->result) < 0) ||
      (r->status && PyDict_SetItem(d.get(), g_n_status, r->status) < 0) ||
      (r->extra && PyDict_Update(d.get(), r->extra) < 0))
    return nullptr;
  return d.release();
}

PyObject* rec_keys(PyObject* self, PyObject*) {
  Ref d = Ref::steal(rec_as_dict(self));
  return d ? PyDict_Keys(d.get()) : nullptr;
}
PyObject* rec_items(PyObject* self, PyObject*) {
  Ref d = Ref::steal(rec_as_dict(self));
  return d ? PyDict_Items(d.get()) : nullptr;
}
PyObject* rec_to_dict(PyObject* self, PyObject*) { return rec_as_dict(self); }

PyObject* rec_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  PyObject* a[2];
  if (!vt::bind_args("VigilRecord.get", {"name", "default"}, 1, args, nargs, kwnames, a))
    return nullptr;
  Ref d = Ref::steal(rec_as_dict(self));
  if (!d) return nullptr;
  PyObject* v = nullptr;
  int r = PyDict_GetItemRef(d.get(), a[0], &v);
  if (r < 0) return nullptr;
  if (r) return v;
  return Py_NewRef(a[1] ? a[1] : Py_None);
}

PyObject* rec_repr(PyObject* self) {
  int r = Py_ReprEnter(self);
  if (r != 0) return r > 0 ? PyUnicode_FromString("VigilRecord(...)") : nullptr;
  Ref d = Ref::steal(rec_as_dict(self));
  PyObject* s = d ? PyUnicode_FromFormat("VigilRecord(%R)", d.get()) : nullptr;
  Py_ReprLeave(self);
  return s;
}

PyObject* new_record(PyObject* thread, PyObject* result, PyObject* status) {
  PyObject* o = rec_new_raw(g_record_type);
  if (!o) return nullptr;
  VigilRecordObject* r = as_rec(o);
  r->thread = Py_XNewRef(thread);
  r->result = Py_XNewRef(result);
  r->status = Py_XNewRef(status);
  return o;
}

PyMethodDef rec_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(rec_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, /, name, default=None)\n--\n\nThe entry name, or default."},
    {"keys", rec_keys, METH_NOARGS, "keys($self, /)\n--\n\nThe entry names (a list)."},
    {"items", rec_items, METH_NOARGS,
     "items($self, /)\n--\n\nThe (name, value) pairs (a list)."},
    {"to_dict", rec_to_dict, METH_NOARGS,
     "to_dict($self, /)\n--\n\nThe entries as a new dict."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot rec_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(rec_new)},
    {Py_tp_init, reinterpret_cast<void*>(rec_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rec_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(rec_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(rec_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(rec_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(rec_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(rec_repr)},
    {Py_tp_methods, rec_methods},
    {Py_tp_doc, const_cast<char*>(
                    "VigilRecord(mapping=None, /, **entries)\n--\n\n"
                    "A task record of a VigilVar table: its entries are read and "
                    "written as attributes (thread, result, status, and any "
                    "other); an entry never written reads as None.")},
    {0, nullptr}};

PyType_Spec rec_spec = {"vigil_var.VigilRecord", sizeof(VigilRecordObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                        rec_slots};

// --- table operations --------------------------------------------------

PyObject* from_mapping(PyObject* mapping) {
  Ref rec = Ref::steal(rec_new_raw(g_record_type));
  if (!rec) return nullptr;
  if (rec_merge(rec.get(), mapping) < 0) return nullptr;
  return rec.release();
}

bool looks_like_mapping(PyObject* v) {
  if (PyDict_Check(v)) return true;
  if (PyObject_TypeCheck(v, g_var_type) || PyObject_TypeCheck(v, g_record_type))
    return false;
  return PyObject_HasAttrWithError(v, vt::intern("keys")) == 1;
}

PyObject* var_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  PyObject* a[2];
  if (!vt::bind_args("VigilVar.set", {"name", "value"}, 1, args, nargs,
                     kwnames, a))
    return nullptr;
  PyObject* value = a[1] ? a[1] : Py_None;
  Ref stored;
  // A mapping becomes a record whose entries are attributes.
  if (looks_like_mapping(value)) {
    stored = Ref::steal(from_mapping(value));
    if (!stored) return nullptr;
  } else {
    stored = Ref::borrow(value);
  }
  if (PyDict_SetItem(as_var(self)->dict, a[0], stored.get()) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* var_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  PyObject* a[2];
  if (!vt::bind_args("VigilVar.get", {"name", "default"}, 1, args, nargs,
                     kwnames, a))
    return nullptr;
  PyObject* v = nullptr;
  int r = PyDict_GetItemRef(as_var(self)->dict, a[0], &v);
  if (r < 0) return nullptr;
  if (r > 0) return v;
  return Py_NewRef(a[1] ? a[1] : Py_None);
}

PyObject* var_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0) {
    PyErr_SetString(PyExc_TypeError,
                    "VigilVar.add() takes keyword arguments only");
    return nullptr;
  }
  if (merge_kwargs(self, kwargs) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* var_set_kwargs(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0) {
    PyErr_SetString(PyExc_TypeError,
                    "VigilVar.set_kwargs() takes keyword arguments only");
    return nullptr;
  }
  if (merge_kwargs(self, kwargs) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* var_clear_m(PyObject* self, PyObject*) {
  PyDict_Clear(as_var(self)->dict);
  Py_RETURN_NONE;
}

// --- views -------------------------------------------------------------

enum ViewKind { KEYS = 0, ITEMS = 1, VALUES = 2 };

struct ViewObject {
  PyObject_HEAD
  PyObject* var;
  int kind;
};

PyObject* make_view(PyObject* var, int kind) {
  auto* v = PyObject_GC_New(ViewObject, g_view_type);
  if (!v) return nullptr;
  v->var = Py_NewRef(var);
  v->kind = kind;
  PyObject_GC_Track(v);
  return reinterpret_cast<PyObject*>(v);
}

PyObject* var_keys(PyObject* self, PyObject*) { return make_view(self, KEYS); }
PyObject* var_items(PyObject* self, PyObject*) {
  return make_view(self, ITEMS);
}
PyObject* var_values(PyObject* self, PyObject*) {
  return make_view(self, VALUES);
}

ViewObject* as_view(PyObject* o) { return reinterpret_cast<ViewObject*>(o); }
PyObject* view_dict(PyObject* o) { return as_var(as_view(o)->var)->dict; }

void view_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_view(self)->var);
  PyObject_GC_Del(self);
  Py_DECREF(tp);
}

int view_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_view(self)->var);
  return 0;
}

Py_ssize_t view_len(PyObject* self) { return PyDict_GET_SIZE(view_dict(self)); }

int view_contains(PyObject* self, PyObject* key) {
  PyObject* d = view_dict(self);
  switch (as_view(self)->kind) {
    case KEYS:
      // Constant time, against the live table.
      return PyDict_Contains(d, key);
    case ITEMS: {
      if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) return 0;
      PyObject* v = nullptr;
      int r = PyDict_GetItemRef(d, PyTuple_GET_ITEM(key, 0), &v);
      if (r <= 0) return r;
      Ref vr = Ref::steal(v);
      return PyObject_RichCompareBool(vr.get(), PyTuple_GET_ITEM(key, 1),
                                      Py_EQ);
    }
    default: {
      Ref vals = Ref::steal(PyDict_Values(d));
      if (!vals) return -1;
      return PySequence_Contains(vals.get(), key);
    }
  }
}

PyObject* view_iter(PyObject* self) {
  PyObject* d = view_dict(self);
  // A snapshot taken now: entries added while the caller iterates never
  // break the iteration.
  Ref snap;
  switch (as_view(self)->kind) {
    case KEYS:
      snap = Ref::steal(PyDict_Keys(d));
      break;
    case ITEMS:
      snap = Ref::steal(PyDict_Items(d));
      break;
    default:
      snap = Ref::steal(PyDict_Values(d));
  }
  if (!snap) return nullptr;
  return PyObject_GetIter(snap.get());
}

PyObject* view_repr(PyObject* self) {
  static const char* names[] = {"VigilVar_keys", "VigilVar_items",
                                "VigilVar_values"};
  Ref snap = Ref::steal(PySequence_List(self));
  if (!snap) return nullptr;
  return PyUnicode_FromFormat("%s(%R)", names[as_view(self)->kind],
                              snap.get());
}

PyType_Slot view_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(view_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_sq_length, reinterpret_cast<void*>(view_len)},
    {Py_sq_contains, reinterpret_cast<void*>(view_contains)},
    {Py_tp_doc, const_cast<char*>(
                    "Live view of a VigilVar: membership against the current "
                    "entries, iteration over a snapshot.")},
    {0, nullptr}};

PyType_Spec view_spec = {"vigil_var.VigilVarView", sizeof(ViewObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         view_slots};

// --- mapping-ish dunders -------------------------------------------------

Py_ssize_t var_len(PyObject* self) { return PyDict_GET_SIZE(as_var(self)->dict); }

int var_contains(PyObject* self, PyObject* key) {
  return PyDict_Contains(as_var(self)->dict, key);
}

PyObject* var_iter(PyObject* self) {
  Ref snap = Ref::steal(PyDict_Keys(as_var(self)->dict));
  if (!snap) return nullptr;
  return PyObject_GetIter(snap.get());
}

PyObject* var_getitem(PyObject* self, PyObject* key) {
  PyObject* v = nullptr;
  int r = PyDict_GetItemRef(as_var(self)->dict, key, &v);
  if (r < 0) return nullptr;
  if (r == 0) {
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  }
  return v;
}

PyObject* var_repr(PyObject* self) {
  int r = Py_ReprEnter(self);
  if (r != 0) return r > 0 ? PyUnicode_FromString("VigilVar(...)") : nullptr;
  PyObject* s = PyUnicode_FromFormat("VigilVar(%R)", as_var(self)->dict);
  Py_ReprLeave(self);
  return s;
}

PyMethodDef var_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(var_add),
     METH_VARARGS | METH_KEYWORDS,
     "add($self, /, **fields)\n--\n\n"
     "Set each keyword as an attribute, replacing an earlier value."},
    {"set_kwargs", reinterpret_cast<PyCFunction>(var_set_kwargs),
     METH_VARARGS | METH_KEYWORDS,
     "set_kwargs($self, /, **fields)\n--\n\n"
     "Same effect as add(): set each keyword as an attribute."},
    {"set", reinterpret_cast<PyCFunction>(var_set),
     METH_FASTCALL | METH_KEYWORDS,
     "set($self, /, name, value=None)\n--\n\n"
     "Store value under name. A mapping is stored as a new VigilVar whose\n"
     "attributes are its entries (a record); anything else as it is."},
    {"get", reinterpret_cast<PyCFunction>(var_get),
     METH_FASTCALL | METH_KEYWORDS,
     "get($self, /, name, default=None)\n--\n\n"
     "The value stored under name, or default when there is none."},
    {"keys", var_keys, METH_NOARGS,
     "keys($self, /)\n--\n\n"
     "View of the names: constant-time membership, iteration in insertion\n"
     "order over a snapshot taken when the iteration starts."},
    {"items", var_items, METH_NOARGS,
     "items($self, /)\n--\n\n"
     "View of (name, value) pairs, iterated over a snapshot."},
    {"values", var_values, METH_NOARGS,
     "values($self, /)\n--\n\nView of the values, iterated over a snapshot."},
    {"clear", var_clear_m, METH_NOARGS,
     "clear($self, /)\n--\n\nRemove every entry."},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef var_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(VigilVarObject, dict),
     Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET,
     offsetof(VigilVarObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot var_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(var_new)},
    {Py_tp_init, reinterpret_cast<void*>(var_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(var_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(var_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(var_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(var_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(var_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(var_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(var_iter)},
    {Py_sq_length, reinterpret_cast<void*>(var_len)},
    {Py_sq_contains, reinterpret_cast<void*>(var_contains)},
    {Py_mp_length, reinterpret_cast<void*>(var_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(var_getitem)},
    {Py_tp_methods, var_methods},
    {Py_tp_members, var_members},
    {Py_tp_doc, const_cast<char*>(
                    "VigilVar(mapping=None, /, **fields)\n--\n\n"
                    "Attribute container. Fields are read and written as "
                    "attributes; a field never written reads as None. Used as "
                    "a keyed table through set(), get(), keys(), items() and "
                    "clear(); every single operation is safe against "
                    "concurrent ones.")},
    {0, nullptr}};

PyType_Spec var_spec = {
    "vigil_var.VigilVar", sizeof(VigilVarObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, var_slots};

VigilVarAPI g_api = {VIGIL_VAR_API_VERSION, nullptr, from_mapping, nullptr,
                     new_record, nullptr, nullptr, nullptr};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "vigil_var",
                          "State holder of the vigil family: VigilVar.",
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vigil_var() {
  Ref m = Ref::steal(PyModule_Create(&module_def));
  if (!m) return nullptr;
  if (!g_var_type) {
    g_var_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&var_spec));
    if (!g_var_type) return nullptr;
    g_view_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&view_spec));
    if (!g_view_type) return nullptr;
    g_record_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&rec_spec));
    if (!g_record_type) return nullptr;
    g_n_thread = vt::intern("thread");
    g_n_result = vt::intern("result");
    g_n_status = vt::intern("status");
    g_api.type = g_var_type;
    g_api.record_type = g_record_type;
    g_api.name_thread = g_n_thread;
    g_api.name_result = g_n_result;
    g_api.name_status = g_n_status;
  }
  if (PyModule_AddObjectRef(m.get(), "VigilVar",
                            reinterpret_cast<PyObject*>(g_var_type)) < 0)
    return nullptr;
  if (PyModule_AddObjectRef(m.get(), "VigilRecord",
                            reinterpret_cast<PyObject*>(g_record_type)) < 0)
    return nullptr;
  Ref cap = Ref::steal(PyCapsule_New(&g_api, VIGIL_VAR_CAPSULE, nullptr));
  if (!cap || PyModule_AddObjectRef(m.get(), "_C_API", cap.get()) < 0)
    return nullptr;
  return m.release();
}
