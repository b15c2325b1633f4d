#include "state/state.h"

#include "common/call.h"

namespace vtm {

int State::traverse(visitproc visit, void* arg) {
  for (vt::Ref* r : {&manager_type, &worker_type, &task_type, &manager_error, &threading, &multiprocessing,
                     &os, &time, &queue_empty, &builtin_round, &vigil_log_cls, &vigil_var_cls,
                     &vigil_var_module, &flush, &walk, &undo_put})
    Py_VISIT(r->get());
  return 0;
}

void State::clear() {
  for (vt::Ref* r : {&manager_type, &worker_type, &task_type, &manager_error, &threading, &multiprocessing,
                     &os, &time, &queue_empty, &builtin_round, &vigil_log_cls, &vigil_var_cls,
                     &vigil_var_module, &flush, &walk, &undo_put})
    r->reset();
  var_api = nullptr;
  // Names, status words and texts are strings: they hold no references and
  // take part in no cycle; they go with the state.
}

vt::Ref new_thread(const State& st, vt::Borrowed target, vt::Borrowed args) {
  vt::Ref cls = vt::take(PyObject_GetAttr(st.threading, st.names.Thread));
  if (args) return vt::call_kw(cls, {}, {{st.names.target, target}, {st.names.args, args}});
  return vt::call_kw(cls, {}, {{st.names.target, target}});
}

}  // namespace vtm
