// How the manager reaches its collaborators: the state holder (`_var`, the
// task table and records) and the log sink (`_log`). Exact VigilVar
// instances take a direct path; any other object is used through ordinary
// attribute access and method calls, so replacements keep working.
#pragma once
#include "common/pyutil.h"

namespace vtm::collab {

bool init();  // imports the vigil_var capsule

// self._var / self._log, read at each use.
vt::Ref var_of(PyObject* mgr);
vt::Ref log_of(PyObject* mgr);

// Attribute read of a field (a never-written field of a VigilVar is None).
vt::Ref get(PyObject* holder, PyObject* name);
bool set(PyObject* holder, PyObject* name, PyObject* value);
// holder.add(**{name: value})
bool add(PyObject* holder, PyObject* name, PyObject* value);

// Table operations on `threads`.
int table_contains(PyObject* table, PyObject* key);  // key in table.keys()
vt::Ref table_get(PyObject* table, PyObject* key);   // table.get(key)
bool table_set(PyObject* table, PyObject* key, PyObject* mapping);
// table.set(key, value={"thread": ..., "result": ..., "status": ...})
bool table_set_record(PyObject* table, PyObject* key, PyObject* thread,
                      PyObject* result, PyObject* status);
vt::Ref new_holder();  // an empty VigilVar, as threads_main names it

// Truth of self._var.<field>; -1 with an exception on failure.
int field_truth(PyObject* mgr, PyObject* field);

// len(holder.<field>); -1 with an exception on failure.
Py_ssize_t field_len(PyObject* holder, PyObject* field);
// holder.<field>.append(item)
bool field_append(PyObject* holder, PyObject* field, PyObject* item);

enum class Level { Debug, Info, Warning };
// self._log.<level>(message)
bool log(PyObject* mgr, Level level, PyObject* message);
bool log(PyObject* mgr, Level level, const char* text);
// prefix + str(exc), as one text.
bool log_error(PyObject* mgr, Level level, const char* prefix, PyObject* exc);

}  // namespace vtm::collab
