#include "collab/holder.h"

#include "common/call.h"

using vt::check;
using vt::Ref;
using vt::take;

namespace vtm::collab {

namespace {

bool exact_var(const State& st, PyObject* o) { return Py_IS_TYPE(o, st.var_api->type); }

PyObject* storage(PyObject* o) { return reinterpret_cast<VigilVarObject*>(o)->dict; }

// The slot of an exact record for one of its three interned field names.
PyObject** record_slot(const State& st, PyObject* o, PyObject* name) {
  if (!Py_IS_TYPE(o, st.var_api->record_type)) return nullptr;
  auto* r = reinterpret_cast<VigilRecordObject*>(o);
  if (name == st.var_api->name_status) return &r->status;
  if (name == st.var_api->name_thread) return &r->thread;
  if (name == st.var_api->name_result) return &r->result;
  return nullptr;
}

// dict[key], or None when absent.
Ref item_or_none(PyObject* dict, PyObject* key) {
  PyObject* v = nullptr;
  if (!check(PyDict_GetItemRef(dict, key, &v))) return Ref::of(Py_None);
  return Ref::steal(v);
}

}  // namespace

Ref Holder::field(PyObject* name) const {
  if (exact_var(*st_, obj_)) return item_or_none(storage(obj_), name);
  // (A deferred entry is made by this read, as by any other.)
  if (PyObject** slot = record_slot(*st_, obj_, name))
    return take(vigil_var_slot_value(st_->var_api, slot));
  return take(PyObject_GetAttr(obj_, name));
}

void Holder::set(PyObject* name, vt::Borrowed value) const {
  if (exact_var(*st_, obj_)) {
    check(PyDict_SetItem(storage(obj_), name, value));
  } else if (PyObject** slot = record_slot(*st_, obj_, name)) {
    // The old value is dropped after the slot holds the new one.
    Ref old = Ref::steal(*slot);
    *slot = Py_NewRef(value);
  } else {
    check(PyObject_SetAttr(obj_, name, value));
  }
}

void Holder::add(PyObject* name, vt::Borrowed value) const { add({{name, value}}); }

void Holder::add(std::initializer_list<std::pair<vt::Borrowed, vt::Borrowed>> fields) const {
  if (exact_var(*st_, obj_)) {
    for (auto& [k, v] : fields) check(PyDict_SetItem(storage(obj_), k, v));
    return;
  }
  Ref kw = take(PyDict_New());
  for (auto& [k, v] : fields) check(PyDict_SetItem(kw, k, v));
  Ref meth = take(PyObject_GetAttr(obj_, st_->names.add));
  Ref none = take(PyTuple_New(0));
  take(PyObject_Call(meth, none, kw));
}

bool Holder::truth(PyObject* name) const {
  Ref v = field(name);
  return check(PyObject_IsTrue(v));
}

Py_ssize_t Holder::len(PyObject* name) const {
  Ref v = field(name);
  if (PyList_CheckExact(v.get())) return PyList_GET_SIZE(v.get());
  Py_ssize_t n = PyObject_Length(v);
  if (n < 0) throw vt::PyError{};
  return n;
}

void Holder::append(PyObject* name, vt::Borrowed item) const {
  Ref v = field(name);
  if (PyList_CheckExact(v.get()))
    check(PyList_Append(v, item));
  else
    vt::call_method(v, st_->names.append, {item});
}

bool Table::contains(PyObject* key) const {
  if (exact_var(*st_, obj_)) return check(PyDict_Contains(storage(obj_), key));
  Ref k = keys();
  return check(PySequence_Contains(k, key));
}

Ref Table::record(PyObject* key) const {
  Ref r = exact_var(*st_, obj_) ? item_or_none(storage(obj_), key)
                                : vt::call_method(obj_, st_->names.get, {key});
  if (r.is(Py_None)) return Ref();
  return r;
}

void Table::set_mapping(PyObject* key, PyObject* mapping) const {
  if (exact_var(*st_, obj_)) {
    Ref rec = take(st_->var_api->from_mapping(mapping));
    check(PyDict_SetItem(storage(obj_), key, rec));
    return;
  }
  vt::call_method_kw(obj_, st_->names.set, {key}, {{st_->names.value, mapping}});
}

void Table::set_record(PyObject* key, PyObject* thread, PyObject* result, PyObject* status) const {
  if (exact_var(*st_, obj_)) {
    Ref rec = take(st_->var_api->new_record(thread, result, status));
    check(PyDict_SetItem(storage(obj_), key, rec));
    return;
  }
  Ref m = take(PyDict_New());
  check(PyDict_SetItem(m, st_->names.thread, thread));
  check(PyDict_SetItem(m, st_->names.result, result));
  check(PyDict_SetItem(m, st_->names.status, status));
  set_mapping(key, m);
}

Ref Table::keys() const { return vt::call_method(obj_, st_->names.keys); }
Ref Table::items() const { return vt::call_method(obj_, st_->names.items); }
void Table::clear() const { vt::call_method(obj_, st_->names.clear); }

Ref Table::take_all() const {
  if (exact_var(*st_, obj_)) {
    Ref old = take(PyDict_Copy(storage(obj_)));
    PyDict_Clear(storage(obj_));
    return old;
  }
  Ref pairs = items();
  Ref old = take(PySequence_List(pairs));
  clear();
  return old;
}

void Table::remove(PyObject* key) const {
  if (exact_var(*st_, obj_)) {
    // The record is dropped after the table no longer holds it.
    Ref rec = item_or_none(storage(obj_), key);
    if (PyDict_DelItem(storage(obj_), key) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw vt::PyError{};
      PyErr_Clear();
    }
    return;
  }
  if (!check(PyObject_HasAttrWithError(obj_, st_->names.pop))) return;
  vt::call_method(obj_, st_->names.pop, {key, Py_None});
}

Ref new_holder(const State& st) { return take(PyObject_CallNoArgs(st.vigil_var_cls)); }

void log(const State& st, vt::Borrowed sink, Level level, vt::Borrowed message) {
  PyObject* meth = level == Level::Debug  ? st.names.debug.get()
                   : level == Level::Info ? st.names.info.get()
                                          : st.names.warning.get();
  vt::call_method(sink, meth, {message});
}

void log(const State& st, vt::Borrowed sink, Level level, const char* text) {
  log(st, sink, level, take(PyUnicode_FromString(text)));
}

void log_error(const State& st, vt::Borrowed sink, Level level, const char* prefix,
               vt::Borrowed exc) {
  Ref text = vt::exc_text(exc);
  log(st, sink, level, take(PyUnicode_FromFormat("%s%U", prefix, text.get())));
}

}  // namespace vtm::collab
