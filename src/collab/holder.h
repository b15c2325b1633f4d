// How the manager reaches its state holder: `_var`, its table of task
// records `threads`, and the records. An exact VigilVar (or record) takes a
// direct path into its storage; any other object is used through ordinary
// attribute access and method calls, so stand-ins keep working.
#pragma once
#include "common/error.h"
#include "state/state.h"

namespace vtm::collab {

// A state holder or a task record, seen through its fields.
class Holder {
 public:
  Holder(const State& st, vt::Ref obj) noexcept : st_(&st), obj_(std::move(obj)) {}

  PyObject* get() const noexcept { return obj_.get(); }
  // holder.<field>; a never-written field of a VigilVar reads as None.
  vt::Ref field(PyObject* name) const;
  void set(PyObject* name, vt::Borrowed value) const;
  // holder.add(<name>=value)
  void add(PyObject* name, vt::Borrowed value) const;
  // holder.add(**fields), the fields in the order given.
  void add(std::initializer_list<std::pair<vt::Borrowed, vt::Borrowed>> fields) const;
  bool truth(PyObject* name) const;
  Py_ssize_t len(PyObject* name) const;
  void append(PyObject* name, vt::Borrowed item) const;

 protected:
  const State* st_;
  vt::Ref obj_;
};

// The table of task records (the holder's `threads`).
class Table : public Holder {
 public:
  using Holder::Holder;
  bool contains(PyObject* key) const;  // key in table.keys()
  // table.get(key); null Ref when the table has no record of that name.
  vt::Ref record(PyObject* key) const;
  // table.set(key, value={"thread": ..., "result": ..., "status": ...})
  void set_record(PyObject* key, PyObject* thread, PyObject* result, PyObject* status) const;
  // table.set(key, value=mapping)
  void set_mapping(PyObject* key, PyObject* mapping) const;
  vt::Ref keys() const;   // table.keys()
  vt::Ref items() const;  // table.items()
  void clear() const;     // table.clear()
  // Empties the table and hands back what it held (to be dropped later, when
  // their finalizers may run): no Python code runs for an exact VigilVar.
  vt::Ref take_all() const;
  // Takes the record of `key` out again (a submission that failed); a
  // stand-in table without pop() keeps it.
  void remove(PyObject* key) const;
};

// An empty VigilVar, the class as threads_main imported it.
vt::Ref new_holder(const State& st);

enum class Level { Debug, Info, Warning };
// sink.<level>(message): every message of a manager goes this way.
void log(const State& st, vt::Borrowed sink, Level level, vt::Borrowed message);
void log(const State& st, vt::Borrowed sink, Level level, const char* text);
// prefix + str(exc), as one text.
void log_error(const State& st, vt::Borrowed sink, Level level, const char* prefix,
               vt::Borrowed exc);

}  // namespace vtm::collab
