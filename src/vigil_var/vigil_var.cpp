// vigil_var: the attribute container that holds a manager's state and, used
// as a keyed table, its task records.
#include <string_view>
#include <utility>
#include <vector>

#include "common/call.h"
#include "common/gc.h"
#include "common/method.h"
#include "common/module.h"
#include "vigil_var/vigil_var_api.h"

using vt::Borrowed;
using vt::Ref;

namespace {

// What one module object owns (one per interpreter): its types, the names
// it interns and the table it exports through its capsule.
struct State {
  Ref var_type;
  Ref view_type;
  Ref record_type;
  Ref n_thread;
  Ref n_result;
  Ref n_status;
  Ref n_keys;
  Ref deferred_type;
  VigilVarAPI api{};

  template <class F>
  void each(F&& f) {
    for (Ref* r : {&var_type, &view_type, &record_type, &n_thread, &n_result, &n_status, &n_keys,
                   &deferred_type})
      f(*r);
  }
  int traverse(visitproc visit, void* arg) {
    int out = 0;
    each([&](Ref& r) {
      if (!out && r) out = visit(r.get(), arg);
    });
    return out;
  }
  void clear() {
    // The table must not hand out what is about to go.
    api.type = api.record_type = nullptr;
    api.name_thread = api.name_result = api.name_status = nullptr;
    api.deferred_type = nullptr;
    each([](Ref& r) { r.reset(); });
  }
};

void exec(PyObject* module, State& st);
using ThisModule = vt::Module<State, exec>;

const State& live(const State* st) {
  // Only garbage collection of the module itself clears it; code of its
  // types can still run in that collection (a __del__ of a subclass).
  if (!st || !st->var_type)
    vt::raise_format(PyExc_RuntimeError, "the vigil_var module has been cleared");
  return *st;
}

// The state of the module that defined the type of `self` (or, for a
// subclass made in Python, its base).
const State& state_of(Borrowed self) {
  PyObject* module = PyType_GetModuleByDef(Py_TYPE(self), &ThisModule::def);
  if (!module) throw vt::PyError{};
  return live(ThisModule::get(module));
}

PyTypeObject* as_type(const Ref& t) { return reinterpret_cast<PyTypeObject*>(t.get()); }

Ref none() { return Ref::of(Py_None); }

// d[key] as a strong reference, or null when there is no such entry.
Ref lookup(Borrowed d, Borrowed key) {
  PyObject* v = nullptr;
  vt::check(PyDict_GetItemRef(d, key, &v));
  return Ref::steal(v);
}

bool is_dunder(PyObject* name) {
  if (!PyUnicode_Check(name)) return false;
  Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  if (n < 5) return false;
  return PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
         PyUnicode_READ_CHAR(name, n - 1) == '_' && PyUnicode_READ_CHAR(name, n - 2) == '_';
}

[[noreturn]] void no_attribute(Borrowed self, Borrowed name) {
  PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
               Py_TYPE(self)->tp_name, name.get());
  throw vt::PyError{};
}

// A field never written reads as None; a dunder is never a field.
Ref missing_field(Borrowed self, Borrowed name) {
  if (is_dunder(name)) no_attribute(self, name);
  return none();
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
Ref bind_descr(const Ref& descr, Borrowed self) {
  descrgetfunc f = Py_TYPE(descr.get())->tp_descr_get;
  if (!f) return descr;
  return vt::take(f(descr, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
}

// Py_ReprEnter/Py_ReprLeave for a scope; nested() when the object is
// already being shown further up.
class ReprScope {
 public:
  explicit ReprScope(PyObject* o) : o_(o), nested_(vt::check(Py_ReprEnter(o)) > 0) {}
  ~ReprScope() {
    if (!nested_ && vt::attached()) Py_ReprLeave(o_);
  }
  ReprScope(const ReprScope&) = delete;
  ReprScope& operator=(const ReprScope&) = delete;
  bool nested() const { return nested_; }

 private:
  PyObject* o_;
  bool nested_;
};

// --- the holder --------------------------------------------------------

VigilVarObject* as_var(PyObject* o) { return reinterpret_cast<VigilVarObject*>(o); }

// The entries; the dict lives as long as the holder and is never replaced.
Borrowed fields(Borrowed self) { return as_var(self)->dict; }

PyObject* var_new(PyTypeObject* tp, PyObject*, PyObject*) {
  return vt::boundary([&] {
    Ref self = vt::take(tp->tp_alloc(tp, 0));
    as_var(self)->dict = vt::take(PyDict_New()).release();
    return self;
  });
}

void var_init(Borrowed self, vt::Given mapping, Borrowed more) {
  if (mapping) vt::check(PyDict_Merge(fields(self), mapping, 1));
  if (more) vt::check(PyDict_Update(fields(self), more));
}
using VarInit = vt::Init<var_init, "VigilVar", "mapping=None, /, **fields",
                         "Attribute container. Fields are read and written as attributes; a "
                         "field never written reads as None. Used as a keyed table through "
                         "set(), get(), keys(), items() and clear(); every single operation "
                         "is safe against concurrent ones.">;

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
  return vt::boundary([&]() -> Ref {
    // Methods come first so that a record or field named like one ("keys",
    // "get") never hides the operation.
    if (Ref descr = type_lookup(Py_TYPE(self), name)) return bind_descr(descr, self);
    if (Ref v = lookup(fields(self), name)) return v;
    return missing_field(self, name);
  });
}

int var_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return vt::boundary_status([&] {
    if (is_dunder(name)) {
      vt::check(PyObject_GenericSetAttr(self, name, value));
    } else if (value) {
      vt::dict_set(fields(self), name, value);
    } else {
      vt::catching(
          PyExc_KeyError, [&] { vt::check(PyDict_DelItem(fields(self), name)); },
          [&](const Ref&) { no_attribute(self, name); });
    }
  });
}

Py_ssize_t var_len(PyObject* self) { return PyDict_GET_SIZE(fields(self).get()); }

int var_contains(PyObject* self, PyObject* key) { return PyDict_Contains(fields(self), key); }

PyObject* var_iter(PyObject* self) {
  return vt::boundary([&] {
    Ref snapshot = vt::take(PyDict_Keys(fields(self)));
    return vt::take(PyObject_GetIter(snapshot));
  });
}

PyObject* var_getitem(PyObject* self, PyObject* key) {
  return vt::boundary([&] {
    Ref v = lookup(fields(self), key);
    if (!v) {
      PyErr_SetObject(PyExc_KeyError, key);
      throw vt::PyError{};
    }
    return v;
  });
}

PyObject* var_repr(PyObject* self) {
  return vt::boundary([&] {
    ReprScope scope(self);
    if (scope.nested()) return vt::take(PyUnicode_FromString("VigilVar(...)"));
    return vt::take(PyUnicode_FromFormat("VigilVar(%R)", fields(self).get()));
  });
}

// --- records -----------------------------------------------------------

VigilRecordObject* as_rec(PyObject* o) { return reinterpret_cast<VigilRecordObject*>(o); }

// The slot holding `name`, or null when the name is not one of the three.
PyObject** rec_slot(const State& st, Borrowed self, Borrowed name) {
  VigilRecordObject* r = as_rec(self);
  if (name.is(st.n_status)) return &r->status;
  if (name.is(st.n_thread)) return &r->thread;
  if (name.is(st.n_result)) return &r->result;
  if (!PyUnicode_Check(name)) return nullptr;
  if (PyUnicode_Compare(name, st.n_status) == 0) return &r->status;
  if (PyUnicode_Compare(name, st.n_thread) == 0) return &r->thread;
  if (PyUnicode_Compare(name, st.n_result) == 0) return &r->result;
  return nullptr;
}

Ref rec_alloc(PyTypeObject* tp) { return vt::take(tp->tp_alloc(tp, 0)); }

// What a read of a slot sees: None when absent, a deferred entry made.
Ref slot_value(const State& st, PyObject** slot) {
  return vt::take(vigil_var_slot_value(&st.api, slot));
}

PyObject* rec_new(PyTypeObject* tp, PyObject*, PyObject*) {
  return vt::boundary([&] { return rec_alloc(tp); });
}

// Writes (or with a null value removes) one entry.
void rec_store(const State& st, Borrowed self, Borrowed name, Borrowed value) {
  if (PyObject** slot = rec_slot(st, self, name)) {
    Py_XSETREF(*slot, Py_XNewRef(value.get()));
    return;
  }
  VigilRecordObject* r = as_rec(self);
  if (!value) {
    if (r->extra && vt::check(PyDict_Contains(r->extra, name)))
      vt::check(PyDict_DelItem(r->extra, name));
    return;
  }
  if (!r->extra) r->extra = vt::take(PyDict_New()).release();
  vt::dict_set(r->extra, name, value);
}

void rec_merge(const State& st, Borrowed self, Borrowed mapping) {
  Ref d;
  if (PyDict_Check(mapping)) {
    d = mapping.own();
  } else {
    d = vt::take(PyDict_New());
    vt::check(PyDict_Merge(d, mapping, 1));
  }
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(d, &pos, &k, &v)) rec_store(st, self, k, v);
}

void rec_init(Borrowed self, vt::Given mapping, Borrowed entries) {
  const State& st = state_of(self);
  if (mapping) rec_merge(st, self, mapping);
  if (entries) rec_merge(st, self, entries);
}
using RecInit = vt::Init<rec_init, "VigilRecord", "mapping=None, /, **entries",
                         "A task record of a VigilVar table: its entries are read and written "
                         "as attributes (thread, result, status, and any other); an entry "
                         "never written reads as None.">;

using RecGc = vt::GcSlots<VigilRecordObject, &VigilRecordObject::thread, &VigilRecordObject::result,
                          &VigilRecordObject::status, &VigilRecordObject::extra>;

PyObject* rec_getattro(PyObject* self, PyObject* name) {
  return vt::boundary([&]() -> Ref {
    const State& st = state_of(self);
    if (PyObject** slot = rec_slot(st, self, name)) return slot_value(st, slot);
    if (Ref descr = type_lookup(Py_TYPE(self), name)) return bind_descr(descr, self);
    if (as_rec(self)->extra) {
      Ref extra = Ref::of(as_rec(self)->extra);
      if (Ref v = lookup(extra, name)) return v;
    }
    return missing_field(self, name);
  });
}

int rec_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return vt::boundary_status([&] {
    if (is_dunder(name))
      vt::check(PyObject_GenericSetAttr(self, name, value));
    else
      rec_store(state_of(self), self, name, value);
  });
}

// The entries as a new dict, slots first.
Ref rec_as_dict(const State& st, Borrowed self) {
  VigilRecordObject* r = as_rec(self);
  Ref keep = self.own();  // making a deferred entry runs Python code
  Ref d = vt::take(PyDict_New());
  if (r->thread) vt::dict_set(d, st.n_thread, slot_value(st, &r->thread));
  if (r->result) vt::dict_set(d, st.n_result, slot_value(st, &r->result));
  if (r->status) vt::dict_set(d, st.n_status, slot_value(st, &r->status));
  if (r->extra) vt::check(PyDict_Update(d, r->extra));
  return d;
}

Ref rec_to_dict(Borrowed self) { return rec_as_dict(state_of(self), self); }
Ref rec_keys(Borrowed self) {
  Ref d = rec_to_dict(self);
  return vt::take(PyDict_Keys(d));
}
Ref rec_items(Borrowed self) {
  Ref d = rec_to_dict(self);
  return vt::take(PyDict_Items(d));
}

Ref rec_get(Borrowed self, Borrowed name, Borrowed default_) {
  if (Ref v = lookup(rec_to_dict(self), name)) return v;
  return default_.own();
}

PyObject* rec_repr(PyObject* self) {
  return vt::boundary([&] {
    ReprScope scope(self);
    if (scope.nested()) return vt::take(PyUnicode_FromString("VigilRecord(...)"));
    return vt::take(PyUnicode_FromFormat("VigilRecord(%R)", rec_to_dict(self).get()));
  });
}

// A new record of this module built from the entries of `mapping`.
Ref record_from(const State& st, Borrowed mapping) {
  Ref rec = rec_alloc(as_type(st.record_type));
  rec_merge(st, rec, mapping);
  return rec;
}

PyMethodDef rec_methods[] = {
    VT_METHOD(rec_get, "VigilRecord", "get", "name, default=None", "The entry name, or default."),
    VT_METHOD(rec_keys, "VigilRecord", "keys", "", "The entry names (a list)."),
    VT_METHOD(rec_items, "VigilRecord", "items", "", "The (name, value) pairs (a list)."),
    VT_METHOD(rec_to_dict, "VigilRecord", "to_dict", "", "The entries as a new dict."),
    VT_METHODS_END};

PyType_Slot rec_slots[] = {{Py_tp_new, reinterpret_cast<void*>(rec_new)},
                           {Py_tp_init, reinterpret_cast<void*>(RecInit::call)},
                           {Py_tp_dealloc, reinterpret_cast<void*>(RecGc::dealloc)},
                           {Py_tp_traverse, reinterpret_cast<void*>(RecGc::traverse)},
                           {Py_tp_clear, reinterpret_cast<void*>(RecGc::clear)},
                           {Py_tp_getattro, reinterpret_cast<void*>(rec_getattro)},
                           {Py_tp_setattro, reinterpret_cast<void*>(rec_setattro)},
                           {Py_tp_repr, reinterpret_cast<void*>(rec_repr)},
                           {Py_tp_methods, rec_methods},
                           {Py_tp_doc, const_cast<char*>(RecInit::doc.data())},
                           {0, nullptr}};

PyType_Spec rec_blueprint = {
    "vigil_var.VigilRecord", sizeof(VigilRecordObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    rec_slots};

// --- deferred entries ----------------------------------------------------

// The base of entries made on first read; other modules of the family make
// their own kinds from it (through the API table), never instances of it.
PyType_Slot deferred_slots[] = {
    {Py_tp_doc, const_cast<char*>("An entry of a record made when it is first read.")},
    {0, nullptr}};

PyType_Spec deferred_blueprint = {"vigil_var.VigilDeferred", sizeof(VigilDeferredObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                      Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                  deferred_slots};

// --- views -------------------------------------------------------------

enum ViewKind { KEYS = 0, ITEMS = 1, VALUES = 2 };

struct ViewObject {
  PyObject_HEAD
  PyObject* var;
  int kind;
};

ViewObject* as_view(PyObject* o) { return reinterpret_cast<ViewObject*>(o); }
Borrowed view_fields(PyObject* view) { return fields(as_view(view)->var); }

Ref make_view(Borrowed var, ViewKind kind) {
  auto* v = PyObject_GC_New(ViewObject, as_type(state_of(var).view_type));
  if (!v) throw vt::PyError{};
  v->var = Py_NewRef(var.get());
  v->kind = kind;
  PyObject_GC_Track(v);
  return Ref::steal(reinterpret_cast<PyObject*>(v));
}

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

Py_ssize_t view_len(PyObject* self) { return PyDict_GET_SIZE(view_fields(self).get()); }

bool view_has(PyObject* self, PyObject* key) {
  Borrowed d = view_fields(self);
  switch (as_view(self)->kind) {
    case KEYS:
      // Constant time, against the live table.
      return vt::check(PyDict_Contains(d, key));
    case ITEMS: {
      if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) return false;
      Ref v = lookup(d, PyTuple_GET_ITEM(key, 0));
      return v && vt::compare(v, PyTuple_GET_ITEM(key, 1), Py_EQ);
    }
    default: {
      Ref values = vt::take(PyDict_Values(d));
      return vt::check(PySequence_Contains(values, key));
    }
  }
}

int view_contains(PyObject* self, PyObject* key) {
  bool found = false;
  if (vt::boundary_status([&] { found = view_has(self, key); }) < 0) return -1;
  return found ? 1 : 0;
}

// A snapshot taken now: entries added while the caller iterates never
// break the iteration.
Ref view_snapshot(PyObject* self) {
  Borrowed d = view_fields(self);
  switch (as_view(self)->kind) {
    case KEYS:
      return vt::take(PyDict_Keys(d));
    case ITEMS:
      return vt::take(PyDict_Items(d));
    default:
      return vt::take(PyDict_Values(d));
  }
}

PyObject* view_iter(PyObject* self) {
  return vt::boundary([&] {
    Ref snapshot = view_snapshot(self);
    return vt::take(PyObject_GetIter(snapshot));
  });
}

PyObject* view_repr(PyObject* self) {
  static const char* const names[] = {"VigilVar_keys", "VigilVar_items", "VigilVar_values"};
  return vt::boundary([&] {
    return vt::take(
        PyUnicode_FromFormat("%s(%R)", names[as_view(self)->kind], view_snapshot(self).get()));
  });
}

PyType_Slot view_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(view_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_sq_length, reinterpret_cast<void*>(view_len)},
    {Py_sq_contains, reinterpret_cast<void*>(view_contains)},
    {Py_tp_doc, const_cast<char*>("Live view of a VigilVar: membership against the current "
                                  "entries, iteration over a snapshot.")},
    {0, nullptr}};

PyType_Spec view_blueprint = {"vigil_var.VigilVarView", sizeof(ViewObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                                  Py_TPFLAGS_DISALLOW_INSTANTIATION,
                              view_slots};

// --- the holder's operations -------------------------------------------

bool looks_like_mapping(const State& st, Borrowed v) {
  if (PyDict_Check(v)) return true;
  if (PyObject_TypeCheck(v, as_type(st.var_type)) || PyObject_TypeCheck(v, as_type(st.record_type)))
    return false;
  return vt::check(PyObject_HasAttrWithError(v, st.n_keys));
}

Ref var_add(Borrowed self, Borrowed more) {
  if (more) vt::check(PyDict_Update(fields(self), more));
  return none();
}

Ref var_set(Borrowed self, Borrowed name, Borrowed value) {
  const State& st = state_of(self);
  // A mapping becomes a record whose entries are attributes.
  Ref stored = looks_like_mapping(st, value) ? record_from(st, value) : value.own();
  vt::dict_set(fields(self), name, stored);
  return none();
}

Ref var_get(Borrowed self, Borrowed name, Borrowed default_) {
  if (Ref v = lookup(fields(self), name)) return v;
  return default_.own();
}

Ref var_keys(Borrowed self) { return make_view(self, KEYS); }
Ref var_items(Borrowed self) { return make_view(self, ITEMS); }
Ref var_values(Borrowed self) { return make_view(self, VALUES); }

Ref var_clear_all(Borrowed self) {
  PyDict_Clear(fields(self));
  return none();
}

PyMethodDef var_methods[] = {
    VT_METHOD(var_add, "VigilVar", "add", "**fields",
              "Set each keyword as an attribute, replacing an earlier value."),
    VT_METHOD(var_add, "VigilVar", "set_kwargs", "**fields",
              "Same effect as add(): set each keyword as an attribute."),
    VT_METHOD(var_set, "VigilVar", "set", "name, value=None",
              "Store value under name. A mapping is stored as a new VigilRecord whose\n"
              "attributes are its entries; anything else as it is."),
    VT_METHOD(var_get, "VigilVar", "get", "name, default=None",
              "The value stored under name, or default when there is none."),
    VT_METHOD(var_keys, "VigilVar", "keys", "",
              "View of the names: constant-time membership, iteration in insertion\n"
              "order over a snapshot taken when the iteration starts."),
    VT_METHOD(var_items, "VigilVar", "items", "",
              "View of (name, value) pairs, iterated over a snapshot."),
    VT_METHOD(var_values, "VigilVar", "values", "",
              "View of the values, iterated over a snapshot."),
    VT_METHOD(var_clear_all, "VigilVar", "clear", "", "Remove every entry."),
    VT_METHODS_END};

PyMemberDef var_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(VigilVarObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(VigilVarObject, weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot var_slots[] = {{Py_tp_new, reinterpret_cast<void*>(var_new)},
                           {Py_tp_init, reinterpret_cast<void*>(VarInit::call)},
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
                           {Py_tp_doc, const_cast<char*>(VarInit::doc.data())},
                           {0, nullptr}};

PyType_Spec var_blueprint = {
    "vigil_var.VigilVar", sizeof(VigilVarObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    var_slots};

// --- what other modules of the family call -----------------------------

PyObject* api_from_mapping(void* state, PyObject* mapping) {
  return vt::boundary([&] { return record_from(live(static_cast<State*>(state)), mapping); });
}

PyObject* api_new_record(void* state, PyObject* thread, PyObject* result, PyObject* status) {
  return vt::boundary([&] {
    Ref rec = rec_alloc(as_type(live(static_cast<State*>(state)).record_type));
    VigilRecordObject* r = as_rec(rec);
    r->thread = Py_XNewRef(thread);
    r->result = Py_XNewRef(result);
    r->status = Py_XNewRef(status);
    return rec;
  });
}

// --- the module ----------------------------------------------------------

void exec(PyObject* m, State& st) {
  auto make_type = [&](PyType_Spec* blueprint) {
    return vt::take(PyType_FromModuleAndSpec(m, blueprint, nullptr));
  };
  auto intern = [](const char* s) { return vt::take(PyUnicode_InternFromString(s)); };
  st.var_type = make_type(&var_blueprint);
  st.view_type = make_type(&view_blueprint);
  st.record_type = make_type(&rec_blueprint);
  st.deferred_type = make_type(&deferred_blueprint);
  st.n_thread = intern("thread");
  st.n_result = intern("result");
  st.n_status = intern("status");
  st.n_keys = intern("keys");
  st.api = {VIGIL_VAR_API_VERSION,   as_type(st.var_type),  {api_from_mapping, &st},
            as_type(st.record_type), {api_new_record, &st}, st.n_thread.get(),
            st.n_result.get(),       st.n_status.get(),     as_type(st.deferred_type)};
  vt::check(PyModule_AddObjectRef(m, "VigilVar", st.var_type));
  vt::check(PyModule_AddObjectRef(m, "VigilRecord", st.record_type));
  Ref capsule = vt::take(PyCapsule_New(&st.api, VIGIL_VAR_CAPSULE, nullptr));
  vt::check(PyModule_AddObjectRef(m, "_C_API", capsule));
}

}  // namespace

PyMODINIT_FUNC PyInit_vigil_var() {
  return ThisModule::init("vigil_var", "State holder of the vigil family: VigilVar.");
}
