#include "threads_main/globals.h"

#include <cstring>

namespace vtm {

Globals g;
Status status;
Names names;

static PyObject* intern_name(const char* id) {
  // `switch` is a C++ keyword, hence the trailing underscore in the field.
  size_t n = std::strlen(id);
  if (n > 1 && id[n - 1] == '_' && id[0] != '_') {
    char buf[64];
    std::memcpy(buf, id, n - 1);
    buf[n - 1] = '\0';
    return vt::intern(buf);
  }
  return vt::intern(id);
}

bool init_globals() {
#define TM_INIT(n)                      \
  names.n = intern_name(#n);            \
  if (!names.n) return false;
  TM_NAMES(TM_INIT)
#undef TM_INIT
  status.pending = vt::intern("待运行");
  status.running = vt::intern("运行中");
  status.done = vt::intern("完成");
  status.failed = vt::intern("失败");
  status.stopped = vt::intern("停止");
  status.cancelled = vt::intern("取消");
  if (!status.pending || !status.running || !status.done || !status.failed ||
      !status.stopped || !status.cancelled)
    return false;
  g.threading = PyImport_ImportModule("threading");
  g.multiprocessing = PyImport_ImportModule("multiprocessing");
  g.os = PyImport_ImportModule("os");
  g.time = PyImport_ImportModule("time");
  if (!g.threading || !g.multiprocessing || !g.os || !g.time) return false;
  vt::Ref q = vt::Ref::steal(PyImport_ImportModule("queue"));
  if (!q) return false;
  g.queue_empty = PyObject_GetAttrString(q.get(), "Empty");
  return g.queue_empty != nullptr;
}

}  // namespace vtm
