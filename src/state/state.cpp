#include "state/state.h"

#include "common/call.h"

namespace vtm {

int State::traverse(visitproc visit, void* arg) {
  int out = 0;
  each([&](vt::Ref& r) {
    if (!out && r) out = visit(r.get(), arg);
  });
  return out;
}

void State::clear() {
  each([](vt::Ref& r) { r.reset(); });
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
